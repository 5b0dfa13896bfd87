// The menu-bar item on macOS: AppKit's own status item in the system status bar, its button
// showing the title as text and the tooltip, its menu the application's QMenu as the native
// menu Qt keeps for it (QMenu::toNSMenu), so the rows and actions are the same code as
// elsewhere. A status item with a menu opens it on a left click by itself. Qt's tray icon is
// not used on macOS: since macOS 26 it aborts the application as its menu opens.
#pragma once

#include <memory>
#include <string>

class QMenu;

class MacStatusItem {
  public:
    // Adds a hidden item of variable width to the status bar.
    MacStatusItem();
    // Takes the item out of the status bar.
    ~MacStatusItem();
    MacStatusItem(const MacStatusItem&) = delete;
    MacStatusItem& operator=(const MacStatusItem&) = delete;

    void setTitle(const std::string& text);
    void setToolTip(const std::string& text);
    // The menu must outlive the item, or be replaced first; nullptr detaches it.
    void setMenu(QMenu* menu);
    void setVisible(bool visible);

  private:
    struct Native;  // the NSStatusItem, kept out of the C++ files that include this
    std::unique_ptr<Native> native_;
};
