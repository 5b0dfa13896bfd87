// Every temperature sensor an SMC has, found through its key index rather than by name:
// the keys starting with "T" whose type holds a temperature.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class SMCConnection;

// A key of the index that holds a temperature.
struct SensorKey {
    std::string key;
    std::string type;
};

// One plausible reading; `name` is empty for a key without a well-known name.
struct TemperatureSensor {
    std::string key;
    std::string name;
    double celsius = 0;
};

struct SensorReadings {
    std::vector<TemperatureSensor> sensors;  // sorted by key
    // Sensors left out: unreadable, a placeholder, or at or below -40 or at or above 150 °C.
    int leftOut = 0;
    // Of those, the ones whose read failed or whose bytes are no value of their type (the
    // others are sensors the machine does not have).
    int unreadable = 0;
};

// Readings outside (-40, 150) °C are no measurement of a machine that runs.
inline constexpr double kSensorLowest = -40;
inline constexpr double kSensorHighest = 150;

// Walks the key index ("#KEY", then the key at each position) and returns the temperature
// keys in key order, leaving out keys whose information cannot be read. Raises SMCError
// when the index itself cannot be read.
std::vector<SensorKey> findTemperatureKeys(SMCConnection& smc);

// Reads each key once and sorts the readings into the plausible and the left out.
SensorReadings readTemperatures(SMCConnection& smc, const std::vector<SensorKey>& keys);
