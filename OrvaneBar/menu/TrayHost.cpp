#include "TrayHost.h"

#include <QGuiApplication>

#ifndef Q_OS_MACOS
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#endif

bool trayHostedOverDBus() {
#ifdef Q_OS_MACOS
    return false;
#else
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr) return false;
    if (!bus.interface()->isServiceRegistered(watcher).value()) return false;
    QDBusMessage get = QDBusMessage::createMethodCall(
        watcher, QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << watcher << QStringLiteral("IsStatusNotifierHostRegistered");
    // A watcher that does not answer soon is taken as no host (start-up waits for it).
    const QDBusMessage reply = bus.call(get, QDBus::Block, 2000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return false;
    return reply.arguments().first().value<QDBusVariant>().variant().toBool();
#endif
}

bool platformKnowsPointer() {
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}
