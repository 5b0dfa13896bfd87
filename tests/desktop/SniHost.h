// The part of a desktop that hosts tray icons over D-Bus, for one test: a session bus
// (dbus-daemon) and a StatusNotifierWatcher (sni_watcher) started inside a private /tmp,
// and the calls a host makes on a registered StatusNotifierItem and on the menu it exports
// (com.canonical.dbusmenu): read the layout, announce that a menu opens or closes, click
// an entry, activate the icon.
#pragma once

#include <sys/types.h>

#include <QDBusConnection>
#include <QString>
#include <QVariantMap>
#include <optional>
#include <string>
#include <vector>

class PrivateTmp;

// One entry of an exported menu, with its entries when it is a submenu.
struct MenuNode {
    int id = 0;
    QVariantMap properties;
    std::vector<MenuNode> children;

    QString label() const { return properties.value("label").toString(); }
    bool isSeparator() const { return properties.value("type").toString() == "separator"; }
    bool isSubmenu() const { return properties.value("children-display").toString() == "submenu"; }
    // "toggle-state": 1 checked, 0 not, absent -1.
    int toggleState() const { return properties.value("toggle-state", -1).toInt(); }
    // The first entry below this one, at any depth, whose label is `text`.
    const MenuNode* find(const QString& text) const;
};

class SniHost {
  public:
    // The bus listens at busPath inside the private /tmp.
    static constexpr const char* busPath = "/tmp/session-bus";

    explicit SniHost(PrivateTmp& tmp);
    ~SniHost();
    SniHost(const SniHost&) = delete;
    SniHost& operator=(const SniHost&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    // DBUS_SESSION_BUS_ADDRESS for the programs started inside.
    static std::string address() { return std::string("unix:path=") + busPath; }

    // Waits until process `pid` has registered an item with the watcher, and takes it as
    // the item the calls below go to.
    bool waitForItem(pid_t pid);
    // The whole exported menu (GetLayout of its root), none when it cannot be read.
    std::optional<MenuNode> layout() const;
    // Sends Event(id, name, 0, 0): "clicked", "opened", "closed".
    bool event(int id, const QString& name) const;
    // Calls AboutToShow(id), as a host does before it shows a menu or submenu.
    bool aboutToShow(int id) const;
    // Calls Activate(x, y) on the item: the host's left click.
    bool activate(int x, int y) const;

  private:
    QDBusConnection bus() const;

    PrivateTmp& tmp_;
    QString connection_;
    QString service_;
    QString itemPath_;
    QString menuPath_;
    std::string error_;
};
