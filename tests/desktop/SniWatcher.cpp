// sni_watcher: the part of a desktop's tray that StatusNotifierItems register with, for
// the tests. It owns org.kde.StatusNotifierWatcher on the session bus given by
// DBUS_SESSION_BUS_ADDRESS, keeps the items registered with it (forgetting those whose
// owner leaves the bus) and reports a host as registered, as on a desktop whose panel
// draws the items. Each registration is printed on standard output ("item SERVICE/PATH").
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QStringList>
#include <cstdio>

namespace {

constexpr const char* kService = "org.kde.StatusNotifierWatcher";
constexpr const char* kPath = "/StatusNotifierWatcher";

}  // namespace

class Watcher : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

  public:
    explicit Watcher(const QDBusConnection& bus)
        : owners_(QString(), bus, QDBusServiceWatcher::WatchForUnregistration) {
        connect(&owners_, &QDBusServiceWatcher::serviceUnregistered, this, &Watcher::ownerLeft);
    }

    QStringList registeredItems() const { return items_; }
    bool isHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }

  public slots:
    // An item names its service, or only its object path (then the caller is the service).
    void RegisterStatusNotifierItem(const QString& serviceOrPath) {
        QString service = serviceOrPath;
        QString path = QStringLiteral("/StatusNotifierItem");
        if (serviceOrPath.startsWith('/')) {
            service = message().service();
            path = serviceOrPath;
        }
        const QString item = service + path;
        if (items_.contains(item)) return;
        items_.append(item);
        owners_.addWatchedService(service);
        std::printf("item %s\n", qPrintable(item));
        std::fflush(stdout);
        emit StatusNotifierItemRegistered(item);
    }

    void RegisterStatusNotifierHost(const QString&) { emit StatusNotifierHostRegistered(); }

  signals:
    void StatusNotifierItemRegistered(const QString& item);
    void StatusNotifierItemUnregistered(const QString& item);
    void StatusNotifierHostRegistered();

  private:
    void ownerLeft(const QString& service) {
        owners_.removeWatchedService(service);
        for (qsizetype i = items_.size() - 1; i >= 0; --i) {
            if (!items_[i].startsWith(service + '/')) continue;
            const QString item = items_.takeAt(i);
            emit StatusNotifierItemUnregistered(item);
        }
    }

    QDBusServiceWatcher owners_;
    QStringList items_;
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "sni_watcher: no session bus\n");
        return 1;
    }
    Watcher watcher(bus);
    if (!bus.registerObject(kPath, &watcher,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                QDBusConnection::ExportAllProperties) ||
        !bus.registerService(kService)) {
        std::fprintf(stderr, "sni_watcher: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    return app.exec();
}

#include "SniWatcher.moc"
