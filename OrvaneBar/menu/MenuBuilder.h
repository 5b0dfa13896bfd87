// The status item's menu and its items, built once at launch from the menu's model: the
// temperature line, the sensors' submenu, one row (or, where the tray's host draws the
// menu, one submenu) per fan, and the entries with their titles, check marks and keys.
// A chosen entry is passed on as its MenuAction; what it does is the caller's.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "FanMenu.h"
#include "FanRowView.h"
#include "MainQueue.h"
#include "MenuModel.h"

class QAction;
class QMenu;

// The built menu, and the items changed after launch.
struct BuiltMenu {
    std::unique_ptr<QMenu> menu;
    std::vector<FanRowView*> fanRows;                // owned by the menu
    std::vector<std::unique_ptr<FanMenu>> fanMenus;  // instead of rows: a submenu per fan
    QAction* tempItem = nullptr;
    QMenu* sensorMenu = nullptr;
    QAction* tempBoostMenuItem = nullptr;
    QAction* launchDaemonMenuItem = nullptr;
    QAction* loginMenuItem = nullptr;
};

struct MenuWiring {
    FanRowDelegate* rows = nullptr;  // the fans' choices go here
    MainQueue* queue = nullptr;      // the rows' timing
    bool fanSubmenus = false;        // each fan as a submenu rather than a widget row
    std::function<void(MenuAction)> chosen;
};

// Fan submenus follow the readings only while the menu is open. A checkable entry's mark
// changes only when the chosen action sets it, not by the click itself.
BuiltMenu buildMenu(const MenuInputs& inputs, const MenuWiring& wiring);
