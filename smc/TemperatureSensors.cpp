#include "TemperatureSensors.h"

#include <algorithm>
#include <cmath>

#include "SMCCodec.h"
#include "SMCConnection.h"
#include "SensorNames.h"

std::vector<SensorKey> findTemperatureKeys(SMCConnection& smc) {
    std::vector<SensorKey> keys;
    const std::uint32_t count = smc.keyCount();
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::string key = smc.keyAtIndex(i);
        // Printable names only: a key is shown as it is.
        if (key.size() != 4 || key[0] != 'T' ||
            !std::all_of(key.begin(), key.end(), [](char c) { return c >= ' ' && c <= '~'; }))
            continue;
        // A key whose information cannot be read is not known to be a sensor.
        std::pair<std::uint32_t, std::string> info;
        try {
            info = smc.readKeyInfo(key);
        } catch (const SMCError&) {
            continue;
        }
        const auto& [size, type] = info;
        // A type that decodes as a temperature, with the bytes it needs (a value the
        // block cannot carry is never readable).
        if (size == 0 || size > kSMCMaxBytes) continue;
        if (!SMCCodec::decodeTemperature(SMCBytes(size), type)) continue;
        keys.push_back({key, type});
    }
    std::sort(keys.begin(), keys.end(),
              [](const SensorKey& a, const SensorKey& b) { return a.key < b.key; });
    return keys;
}

SensorReadings readTemperatures(SMCConnection& smc, const std::vector<SensorKey>& keys) {
    SensorReadings readings;
    for (const SensorKey& k : keys) {
        const auto bytes = smc.tryReadBytes(k.key);
        const auto value = bytes ? SMCCodec::decodeTemperature(*bytes, k.type) : std::nullopt;
        if (!value) ++readings.unreadable;
        if (!value || SMCCodec::isPlaceholder(*bytes, k.type) || !(*value > kSensorLowest) ||
            !(*value < kSensorHighest)) {
            ++readings.leftOut;
            continue;
        }
        readings.sensors.push_back({k.key, sensorName(k.key), *value});
    }
    return readings;
}
