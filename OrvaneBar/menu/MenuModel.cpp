#include "MenuModel.h"

#include "Texts.h"

namespace {

MenuEntry separator() {
    MenuEntry entry;
    entry.kind = MenuEntry::Kind::separator;
    return entry;
}

MenuEntry fanRow(int fan) {
    MenuEntry entry;
    entry.kind = MenuEntry::Kind::fanRow;
    entry.fan = fan;
    return entry;
}

MenuEntry item(std::string title, MenuAction action, MenuSlot slot = MenuSlot::none) {
    MenuEntry entry;
    entry.title = std::move(title);
    entry.action = action;
    entry.slot = slot;
    return entry;
}

}  // namespace

std::vector<MenuEntry> buildMenuModel(const MenuInputs& inputs) {
    std::vector<MenuEntry> menu;

    MenuEntry temperature = item(Texts::tempLineInitial, MenuAction::none, MenuSlot::tempItem);
    temperature.enabled = false;
    menu.push_back(temperature);
    MenuEntry sensors;
    sensors.kind = MenuEntry::Kind::sensorMenu;
    sensors.title = Texts::sensorMenuTitle;
    menu.push_back(sensors);
    menu.push_back(separator());

    for (int fan = 0; fan < inputs.fanCount; ++fan)
        menu.push_back(fanRow(fan));
    // Without rows the two separators would meet, and the menu would merge them into one:
    // a disabled line keeps the section and says why it is empty.
    if (inputs.fanCount <= 0) {
        MenuEntry none = item(Texts::noFans, MenuAction::none);
        none.enabled = false;
        menu.push_back(none);
    }

    menu.push_back(separator());
    menu.push_back(item(Texts::restoreAllAuto, MenuAction::restoreAllAuto));

    menu.push_back(separator());
    MenuEntry boost =
        item(inputs.tempBoostTitle, MenuAction::toggleTempBoost, MenuSlot::tempBoostMenuItem);
    boost.checkable = true;
    boost.checked = inputs.tempBoostEnabled;
    menu.push_back(boost);
    menu.push_back(item(Texts::setTempThreshold, MenuAction::setTempThreshold));

    menu.push_back(separator());
    menu.push_back(item(inputs.serviceInstalled ? Texts::uninstallService : Texts::installService,
                        MenuAction::toggleLaunchDaemon, MenuSlot::launchDaemonMenuItem));

    menu.push_back(separator());
    MenuEntry login = item(Texts::loginItem, MenuAction::toggleLoginItem, MenuSlot::loginMenuItem);
    login.checkable = true;  // the first refresh sets the mark
    menu.push_back(login);

    MenuEntry quit = item(Texts::quitApp, MenuAction::quitApp);
    quit.keyEquivalent = Texts::quitKeyEquivalent;
    menu.push_back(quit);
    return menu;
}
