// The status item: a tray icon whose picture is the title text ("2.5k"). The picture is
// only rendered again when the title changes, since replacing a tray icon is costly on
// several desktops. A left click opens the menu, as a right click does: at the pointer
// where the platform tells where it is.
#pragma once

#include <QIcon>
#include <QObject>
#include <QPixmap>
#include <string>

class QMenu;
class QSystemTrayIcon;

class StatusItem : public QObject {
  public:
    explicit StatusItem(QObject* parent = nullptr);

    const std::string& title() const { return title_; }
    // Renders and installs a new picture when text differs from the current title.
    void setTitle(const std::string& text);
    void setToolTip(const std::string& text);
    QString toolTip() const;
    void setMenu(QMenu* menu);
    // Puts the icon into the tray (no effect where the desktop has none).
    void show();
    // Whether the desktop's host draws the icon and its menu from the session bus
    // (StatusNotifierItem), where a menu's widgets do not show.
    bool hostedOverDBus() const { return hostedOverDBus_; }
    // What a left click does.
    void openMenuAtClick();

    QIcon icon() const;
    // How many pictures have been rendered so far.
    int renderCount() const { return renders_; }

    // The title drawn into a square picture of size × size pixels: light text on a dark
    // rounded badge, which reads on light and dark panels.
    static QPixmap renderTitle(const QString& text, int size);

  private:
    bool hostedOverDBus_;
    QSystemTrayIcon* tray_;
    QMenu* menu_ = nullptr;
    std::string title_;
    int renders_ = 0;
};
