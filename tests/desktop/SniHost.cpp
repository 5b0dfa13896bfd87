#include "SniHost.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>

#include "PrivateTmp.h"
#include "XDesktop.h"

namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kItem = QStringLiteral("org.kde.StatusNotifierItem");
const QString kMenu = QStringLiteral("com.canonical.dbusmenu");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

MenuNode readNode(const QDBusArgument& argument) {
    MenuNode node;
    argument.beginStructure();
    argument >> node.id >> node.properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        node.children.push_back(readNode(child.variant().value<QDBusArgument>()));
    }
    argument.endArray();
    argument.endStructure();
    return node;
}

}  // namespace

const MenuNode* MenuNode::find(const QString& text) const {
    for (const MenuNode& child : children) {
        if (child.label() == text) return &child;
        if (const MenuNode* found = child.find(text)) return found;
    }
    return nullptr;
}

SniHost::SniHost(PrivateTmp& tmp)
    : tmp_(tmp), connection_(QStringLiteral("sni-host-%1").arg(quintptr(this))) {
    const std::string daemon = findProgram("dbus-daemon");
    if (daemon.empty()) {
        error_ = "dbus-daemon is needed (scripts/setup.sh installs it)";
        return;
    }
    const pid_t busPid = tmp.start({daemon, "--config-file=/usr/share/dbus-1/session.conf",
                                    "--address=" + address(), "--nofork", "--nopidfile"},
                                   "/tmp/session-bus.log");
    if (!tmp.waitForSocket(busPath, busPid)) {
        error_ = "no session bus: " + tmp.read("/tmp/session-bus.log");
        return;
    }
    const pid_t watcher =
        tmp.start({"/usr/bin/env", "DBUS_SESSION_BUS_ADDRESS=" + address(), SNI_WATCHER_BINARY},
                  "/tmp/sni-watcher.log");
    const QString outside = QString::fromStdString("unix:path=" + tmp.path(busPath));
    QDBusConnection connection = QDBusConnection::connectToBus(outside, connection_);
    if (!connection.isConnected()) {
        error_ = "cannot reach the session bus: " + connection.lastError().message().toStdString();
        return;
    }
    if (watcher <= 0 ||
        !waitUntil([&] { return connection.interface()->isServiceRegistered(kWatcher).value(); })) {
        error_ = "the watcher did not come: " + tmp.read("/tmp/sni-watcher.log");
    }
}

SniHost::~SniHost() {
    QDBusConnection::disconnectFromBus(connection_);
}

QDBusConnection SniHost::bus() const {
    return QDBusConnection(connection_);
}

bool SniHost::waitForItem(pid_t pid) {
    QDBusConnection connection = bus();
    auto registered = [&]() -> bool {
        QDBusMessage get =
            QDBusMessage::createMethodCall(kWatcher, "/StatusNotifierWatcher", kProperties, "Get");
        get << kWatcher << QStringLiteral("RegisteredStatusNotifierItems");
        const QDBusMessage reply = connection.call(get);
        if (reply.arguments().isEmpty()) return false;
        for (const QString& item :
             reply.arguments().first().value<QDBusVariant>().variant().toStringList()) {
            const QString service = item.section('/', 0, 0);
            if (connection.interface()->servicePid(service).value() != uint(pid)) continue;
            itemPath_ = "/" + item.section('/', 1);
            QDBusMessage menu =
                QDBusMessage::createMethodCall(service, itemPath_, kProperties, "Get");
            menu << kItem << QStringLiteral("Menu");
            const QDBusMessage path = connection.call(menu);
            if (path.arguments().isEmpty()) return false;
            service_ = service;
            menuPath_ = path.arguments()
                            .first()
                            .value<QDBusVariant>()
                            .variant()
                            .value<QDBusObjectPath>()
                            .path();
            return !menuPath_.isEmpty();
        }
        return false;
    };
    return waitUntil(registered);
}

std::optional<MenuNode> SniHost::layout() const {
    QDBusMessage call = QDBusMessage::createMethodCall(service_, menuPath_, kMenu, "GetLayout");
    call << 0 << -1 << QStringList();
    const QDBusMessage reply = bus().call(call);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
        return std::nullopt;
    return readNode(reply.arguments().at(1).value<QDBusArgument>());
}

bool SniHost::event(int id, const QString& name) const {
    QDBusMessage call = QDBusMessage::createMethodCall(service_, menuPath_, kMenu, "Event");
    call << id << name << QVariant::fromValue(QDBusVariant(0)) << 0u;
    return bus().call(call).type() == QDBusMessage::ReplyMessage;
}

bool SniHost::aboutToShow(int id) const {
    QDBusMessage call = QDBusMessage::createMethodCall(service_, menuPath_, kMenu, "AboutToShow");
    call << id;
    return bus().call(call).type() == QDBusMessage::ReplyMessage;
}

bool SniHost::activate(int x, int y) const {
    QDBusMessage call = QDBusMessage::createMethodCall(service_, itemPath_, kItem, "Activate");
    call << x << y;
    return bus().call(call).type() == QDBusMessage::ReplyMessage;
}
