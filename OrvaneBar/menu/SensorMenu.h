// The submenu that lists every temperature sensor under the temperature line: plain
// actions, one a sensor with its name and value, which a menu exported over D-Bus carries
// as well as a widget menu.
#pragma once

#include <optional>
#include <string>

#include "TemperatureSensors.h"

class FanController;
class QMenu;

// "TC0P  CPU 近端\t45.5℃" (the value at the menu's right edge); an unknown key shows only
// the key and the value.
std::string sensorLine(const TemperatureSensor& sensor);

// Makes the menu list the readings (none: the SMC's key index could not be read), then a
// line that counts the sensors left out when there are any. Actions are reused, and a text
// is set only when it changes.
void showSensors(QMenu& menu, const std::optional<SensorReadings>& readings);
// Reads every sensor of the controller into the menu; a list that cannot be read is shown
// as such, and the next call tries again.
void showSensorsOf(QMenu& menu, FanController& ctl);
