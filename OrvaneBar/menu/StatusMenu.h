// The status item's menu. Qt only honours an action's shortcut inside a menu that hangs
// from a menu bar; this popup menu therefore matches the keys pressed while it is open
// against its actions' shortcuts itself.
#pragma once

#include <QMenu>

class StatusMenu : public QMenu {
  public:
    using QMenu::QMenu;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
};
