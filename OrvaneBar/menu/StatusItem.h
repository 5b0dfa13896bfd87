// The status item. On Linux a tray icon whose picture is the title text ("2.5k"), only
// rendered again when the title changes, since replacing a tray icon is costly on several
// desktops; a left click opens the menu, as a right click does: at the pointer where the
// platform tells where it is. On macOS AppKit's own status item, which shows the title as
// text and opens the menu on a click by itself.
#pragma once

#include <QIcon>
#include <QObject>
#include <QPixmap>
#include <memory>
#include <string>

class MacStatusItem;
class QMenu;
class QSystemTrayIcon;

class StatusItem : public QObject {
  public:
    explicit StatusItem(QObject* parent = nullptr);
    ~StatusItem() override;

    const std::string& title() const { return title_; }
    // Installs text as the title (on Linux a newly rendered picture) when it differs from
    // the current one.
    void setTitle(const std::string& text);
    void setToolTip(const std::string& text);
    QString toolTip() const;
    void setMenu(QMenu* menu);
    // Puts the item into the tray or the menu bar (no effect where the desktop has none).
    void show();
    // Whether the desktop's host draws the icon and its menu from the session bus
    // (StatusNotifierItem), where a menu's widgets do not show.
    bool hostedOverDBus() const { return hostedOverDBus_; }
    // What a left click does.
    void openMenuAtClick();

    // The tray's picture; none on macOS, where the title is text.
    QIcon icon() const;
    // How many titles have been installed so far.
    int renderCount() const { return renders_; }

    // The title drawn into a square picture of size × size pixels: light text on a dark
    // rounded badge, which reads on light and dark panels.
    static QPixmap renderTitle(const QString& text, int size);

  private:
    bool hostedOverDBus_;
#ifdef Q_OS_MACOS
    std::unique_ptr<MacStatusItem> mac_;
    std::string toolTip_;
#else
    QSystemTrayIcon* tray_;
#endif
    QMenu* menu_ = nullptr;
    std::string title_;
    int renders_ = 0;
};
