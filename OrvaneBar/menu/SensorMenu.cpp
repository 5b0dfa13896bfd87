#include "SensorMenu.h"

#include <QAction>
#include <QMenu>
#include <exception>
#include <vector>

#include "FanController.h"
#include "Formatting.h"
#include "Texts.h"

std::string sensorLine(const TemperatureSensor& sensor) {
    std::string line = sensor.key;
    if (!sensor.name.empty()) line += Texts::sensorSeparator + sensor.name;
    return line + Texts::sensorValueSeparator + formatFixed(sensor.celsius, 1) +
           Texts::sensorDegrees;
}

void showSensors(QMenu& menu, const std::optional<SensorReadings>& readings) {
    std::vector<std::string> lines;
    if (!readings) {
        lines.push_back(Texts::sensorsUnavailable);
    } else {
        for (const TemperatureSensor& sensor : readings->sensors)
            lines.push_back(sensorLine(sensor));
        if (readings->leftOut > 0) {
            lines.push_back(Texts::sensorsLeftOutPrefix + std::to_string(readings->leftOut) +
                            Texts::sensorsLeftOutSuffix);
        }
        if (lines.empty()) lines.push_back(Texts::sensorsNone);
    }

    QList<QAction*> actions = menu.actions();
    while (actions.size() > static_cast<qsizetype>(lines.size())) {
        QAction* extra = actions.takeLast();
        menu.removeAction(extra);
        delete extra;
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const QString text = QString::fromStdString(lines[i]);
        if (i < static_cast<std::size_t>(actions.size())) {
            QAction* action = actions[static_cast<qsizetype>(i)];
            if (action->text() != text) action->setText(text);
        } else {
            // Readings, not commands: shown like the temperature line.
            menu.addAction(text)->setEnabled(false);
        }
    }
}

void showSensorsOf(QMenu& menu, FanController& ctl) {
    std::optional<SensorReadings> readings;
    try {
        readings = ctl.temperatureSensors();
    } catch (const std::exception&) {
    }
    showSensors(menu, readings);
}
