// The names of the SMC keys the fan controller reads and writes. A fan's key is "F", the
// fan index in decimal without leading zeros, and a two-letter suffix (fan 0: F0Ac). Only
// fans 0 to 9 have valid keys: from index 10 on the name has five characters, so every
// call refuses it as an invalid key and the fan reads as having no keys.
#pragma once

#include <string>

namespace FanKeys {

std::string acKey(int fan);  // actual speed
std::string mnKey(int fan);  // minimum speed
std::string mxKey(int fan);  // maximum speed
std::string idKey(int fan);  // description record holding the name
// The description record as some machines spell it (F{i}ID).
std::string idCapitalKey(int fan);
std::string sfKey(int fan);  // safe speed
std::string mdKey(int fan);  // mode byte, on machines whose fans have one
std::string tgKey(int fan);  // target speed

inline constexpr const char* kFanCount = "FNum";
// The global force flag: only ever reported, never written.
inline constexpr const char* kForceFlag = "FS! ";
// The CPU temperature's candidates, tried in this order, and the GPU temperature.
inline constexpr const char* kCPUTemperature[] = {"TC0P", "TC0D", "TC0H", "TCAD",
                                                  "TC0F", "TCAH", "TCBH"};
inline constexpr const char* kGPUTemperature = "TG0P";

}  // namespace FanKeys
