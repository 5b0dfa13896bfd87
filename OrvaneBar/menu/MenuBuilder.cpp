#include "MenuBuilder.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>
#include <QWidgetAction>
#include <iterator>

#include "StatusMenu.h"

namespace {

QAction* addItem(QMenu& menu, const MenuEntry& entry, const MenuWiring& wiring) {
    QAction* action = menu.addAction(QString::fromStdString(entry.title));
    action->setEnabled(entry.enabled);
    action->setCheckable(entry.checkable);
    action->setChecked(entry.checked);
    if (!entry.keyEquivalent.empty()) {
        // Shown as the bare key; Ctrl with the key works as well, the desktop convention
        // for the command key.
        const QString key = QString::fromStdString(entry.keyEquivalent).toUpper();
        action->setShortcuts({QKeySequence(key), QKeySequence("Ctrl+" + key)});
        action->setShortcutVisibleInContextMenu(true);
    }
    if (entry.action != MenuAction::none && wiring.chosen) {
        QObject::connect(action, &QAction::triggered, action,
                         [action, chosen = wiring.chosen, what = entry.action] {
                             // Qt flips a checkable action's mark by itself; undo that.
                             if (action->isCheckable()) action->setChecked(!action->isChecked());
                             chosen(what);
                         });
    }
    return action;
}

// Keeps the built item in the field of BuiltMenu its slot names (MenuSlot's order).
void keep(BuiltMenu& built, MenuSlot slot, QAction* action) {
    static constexpr QAction* BuiltMenu::*kFields[] = {
        nullptr, &BuiltMenu::tempItem, &BuiltMenu::tempBoostMenuItem,
        &BuiltMenu::launchDaemonMenuItem, &BuiltMenu::loginMenuItem};
    static_assert(std::size(kFields) == static_cast<std::size_t>(MenuSlot::loginMenuItem) + 1);
    if (QAction* BuiltMenu::*field = kFields[static_cast<std::size_t>(slot)]) built.*field = action;
}

}  // namespace

BuiltMenu buildMenu(const MenuInputs& inputs, const MenuWiring& wiring) {
    BuiltMenu built;
    built.menu = std::make_unique<StatusMenu>();
    QMenu* menu = built.menu.get();
    MainQueue& queue = wiring.queue != nullptr ? *wiring.queue : mainQueue();

    for (const MenuEntry& entry : buildMenuModel(inputs)) {
        switch (entry.kind) {
            case MenuEntry::Kind::separator:
                menu->addSeparator();
                break;
            case MenuEntry::Kind::fanRow: {
                if (wiring.fanSubmenus) {
                    built.fanMenus.push_back(
                        std::make_unique<FanMenu>(entry.fan, wiring.rows, queue, menu));
                    menu->addMenu(built.fanMenus.back()->menu());
                    break;
                }
                auto* row = new FanRowView(entry.fan, wiring.rows, queue);
                built.fanRows.push_back(row);
                auto* holder = new QWidgetAction(menu);
                holder->setDefaultWidget(row);
                menu->addAction(holder);
                break;
            }
            case MenuEntry::Kind::item:
                keep(built, entry.slot, addItem(*menu, entry, wiring));
                break;
            case MenuEntry::Kind::sensorMenu:
                built.sensorMenu = menu->addMenu(QString::fromStdString(entry.title));
                break;
        }
    }

    if (!built.fanMenus.empty()) {
        std::vector<FanMenu*> fans;
        for (const auto& fan : built.fanMenus)
            fans.push_back(fan.get());
        QObject::connect(menu, &QMenu::aboutToShow, menu, [fans] {
            for (FanMenu* fan : fans)
                fan->setShown(true);
        });
        QObject::connect(menu, &QMenu::aboutToHide, menu, [fans] {
            for (FanMenu* fan : fans)
                fan->setShown(false);
        });
    }
    return built;
}
