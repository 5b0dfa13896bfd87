// The application's persistent user settings (QSettings keys).
#pragma once

namespace SettingsKeys {
inline constexpr const char* tempBoostEnabled = "tempBoostEnabled";      // bool
inline constexpr const char* tempBoostStartTemp = "tempBoostStartTemp";  // double, °C
inline constexpr const char* tempBoostThreshold = "tempBoostThreshold";  // double, °C
}  // namespace SettingsKeys
