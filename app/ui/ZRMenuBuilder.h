// Turns the controller's menus (plain data) into QMenus whose items run the controller's commands.
#pragma once

#include "app/control/ZRQueueMenu.h"

class QMenu;

namespace ZRMenuBuilder
{

// Main thread. Appends the items to the menu; submenus are made as children of it.
void fillMenu(QMenu *menu, const ZRMenu &items);
// Empties the menu and fills it again.
void rebuildMenu(QMenu *menu, const ZRMenu &items);

} // namespace ZRMenuBuilder
