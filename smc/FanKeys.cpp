#include "FanKeys.h"

namespace FanKeys {

namespace {

std::string fanKey(int fan, const char* suffix) {
    return "F" + std::to_string(fan) + suffix;
}

}  // namespace

std::string acKey(int fan) {
    return fanKey(fan, "Ac");
}
std::string mnKey(int fan) {
    return fanKey(fan, "Mn");
}
std::string mxKey(int fan) {
    return fanKey(fan, "Mx");
}
std::string idKey(int fan) {
    return fanKey(fan, "Id");
}
std::string idCapitalKey(int fan) {
    return fanKey(fan, "ID");
}
std::string sfKey(int fan) {
    return fanKey(fan, "Sf");
}
std::string mdKey(int fan) {
    return fanKey(fan, "Md");
}
std::string tgKey(int fan) {
    return fanKey(fan, "Tg");
}

}  // namespace FanKeys
