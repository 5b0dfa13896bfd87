#include "StatusMenu.h"

#include <QKeyEvent>
#include <QKeySequence>

void StatusMenu::keyPressEvent(QKeyEvent* event) {
    const QKeySequence pressed(event->keyCombination());
    const auto actionList = actions();
    for (QAction* action : actionList) {
        if (!action->isEnabled() || !action->isVisible()) continue;
        if (action->shortcuts().contains(pressed)) {
            close();
            action->trigger();
            return;
        }
    }
    QMenu::keyPressEvent(event);
}
