#include "SensorNames.h"

#include <algorithm>
#include <iterator>

namespace {

struct Named {
    std::string_view key;
    std::string_view name;
};

// Sorted by key (byte order), for the binary search.
constexpr Named kNames[] = {
    {"TA0P", "环境"},
    {"TA1P", "环境 2"},
    {"TB0T", "电池"},
    {"TB1T", "电池 1"},
    {"TB2T", "电池 2"},
    {"TB3T", "电池 3"},
    {"TC0D", "CPU 芯片"},
    {"TC0E", "CPU 芯片（估算）"},
    {"TC0F", "CPU 芯片（滤波）"},
    {"TC0H", "CPU 散热片"},
    {"TC0P", "CPU 近端"},
    {"TCAD", "CPU 芯片（PECI）"},
    {"TCAH", "CPU 散热片（PECI）"},
    {"TCBH", "CPU 2 散热片"},
    {"TCGC", "CPU 核显"},
    {"TCSA", "CPU 系统代理"},
    {"TCXC", "CPU 封装（PECI）"},
    {"TG0D", "GPU 芯片"},
    {"TG0H", "GPU 散热片"},
    {"TG0P", "GPU 近端"},
    {"TH0P", "硬盘近端"},
    {"TI0P", "雷雳接口近端"},
    {"TL0P", "显示屏近端"},
    {"TM0P", "内存近端"},
    {"TM0S", "内存插槽"},
    {"TN0D", "北桥芯片"},
    {"TN0P", "北桥近端"},
    {"TPCD", "平台控制器芯片"},
    {"TW0P", "无线网卡近端"},
    {"Tm0P", "主板"},
    {"Ts0P", "掌托"},
    {"Ts0S", "掌托表面"},
    {"Ts1P", "掌托 2"},
};

}  // namespace

std::string sensorName(std::string_view key) {
    const auto it = std::lower_bound(std::begin(kNames), std::end(kNames), key,
                                     [](const Named& n, std::string_view k) { return n.key < k; });
    if (it != std::end(kNames) && it->key == key) return std::string(it->name);
    // The cores are numbered: TC1C is core 1, and so on.
    if (key.size() == 4 && key.substr(0, 2) == "TC" && key[2] >= '0' && key[2] <= '9' &&
        key[3] == 'C')
        return "CPU 核心 " + std::string(1, key[2]);
    return {};
}
