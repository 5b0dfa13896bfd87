// The status item's menu as data: every entry in order with its title, action, enabled
// state, check mark and key equivalent. The widget menu is built from this list once.
#pragma once

#include <string>
#include <vector>

enum class MenuAction {
    none,
    restoreAllAuto,
    toggleTempBoost,
    setTempThreshold,
    toggleLaunchDaemon,
    toggleLoginItem,
    quitApp,
};

// Which AppDelegate field keeps the built item, for entries changed after launch.
enum class MenuSlot { none, tempItem, tempBoostMenuItem, launchDaemonMenuItem, loginMenuItem };

struct MenuEntry {
    enum class Kind { item, separator, fanRow, sensorMenu };
    Kind kind = Kind::item;
    std::string title;
    MenuAction action = MenuAction::none;
    MenuSlot slot = MenuSlot::none;
    bool enabled = true;
    bool checkable = false;
    bool checked = false;
    std::string keyEquivalent;  // empty: none
    int fan = -1;               // for fan rows
};

// What the menu depends on at launch.
struct MenuInputs {
    int fanCount = 0;
    std::string tempBoostTitle;
    bool tempBoostEnabled = false;
    bool serviceInstalled = false;
};

std::vector<MenuEntry> buildMenuModel(const MenuInputs& inputs);
