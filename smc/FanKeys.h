// The names of the SMC keys the fan controller reads and writes. A fan's key is "F", the
// fan index in decimal without leading zeros, and a two-letter suffix (fan 0: F0Ac). Only
// fans 0 to 9 have valid keys: from index 10 on the name has five characters, so every
// call refuses it as an invalid key and the fan reads as having no keys.
#pragma once

#include <string>

struct FanKeys {
    static std::string acKey(int fan) { return fanKey(fan, "Ac"); }  // actual speed
    static std::string mnKey(int fan) { return fanKey(fan, "Mn"); }  // minimum speed
    static std::string mxKey(int fan) { return fanKey(fan, "Mx"); }  // maximum speed
    static std::string idKey(int fan) { return fanKey(fan, "Id"); }  // record holding the name
    // The description record as some machines spell it (F{i}ID).
    static std::string idCapitalKey(int fan) { return fanKey(fan, "ID"); }
    static std::string sfKey(int fan) { return fanKey(fan, "Sf"); }  // safe speed
    // The mode byte, on machines whose fans have one.
    static std::string mdKey(int fan) { return fanKey(fan, "Md"); }
    static std::string tgKey(int fan) { return fanKey(fan, "Tg"); }  // target speed

    static constexpr const char* kFanCount = "FNum";
    // The global force flag: only ever reported, never written.
    static constexpr const char* kForceFlag = "FS! ";
    // The CPU temperature's candidates, tried in this order, and the GPU temperature.
    static constexpr const char* kCPUTemperature[] = {"TC0P", "TC0D", "TC0H", "TCAD",
                                                      "TC0F", "TCAH", "TCBH"};
    static constexpr const char* kGPUTemperature = "TG0P";

  private:
    static std::string fanKey(int fan, const char* suffix) {
        return "F" + std::to_string(fan) + suffix;
    }
};
