// Pictures of the running application for people and for documentation: the tray icon
// as panels would show it and the open menu, rendered from the real widgets.
#pragma once

#include <QString>

class AppDelegate;

// Saves DIR/tray-icon.png, DIR/menu.png and DIR/sensors.png, the sensors' submenu (creating DIR);
// false if a file cannot be written. Needs a launched AppDelegate.
bool saveScreenshots(AppDelegate& app, const QString& dir);
