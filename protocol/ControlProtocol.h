// The control socket's contract: where the root daemon listens, what a client may ask and
// what it answers. The daemon (orvtool serve) and the application both use these names, so
// a reply the application reacts to is the text the daemon sends.
//
// One request a line, one reply line to each; every reply starts with "OK " or "ERR ".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Paths.h"

namespace protocol {

// The daemon's socket (in the root-owned runtime directory: no other user can take the
// address or race the bind) and the second address for scripts; Paths.h holds both.
inline constexpr const char* kSocketPath = paths::kSocketPath;
inline constexpr const char* kFallbackSocketPath = paths::kFallbackSocketPath;

// Requests.
inline constexpr std::string_view kPing = "ping";
inline constexpr std::string_view kSet = "set";
inline constexpr std::string_view kAuto = "auto";
inline constexpr std::string_view kQuit = "quit";
// Makes its connection the lease of its user on the fans that user forces: while a lease of
// the user is open, the fans forced through any connection of that user go back to
// automatic control once the user's last lease has been closed for the grace period.
inline constexpr std::string_view kHold = "hold";
// A fan's standing setting, run by the daemon and kept across its restarts (Curves.h):
// "curve <fan> <source> <t>:<rpm> ...", "floor <fan> <rpm>", "curve <fan> off",
// "floor <fan> off"; "curves" lists every one. Only root and the daemon's owner may set or
// end one.
inline constexpr std::string_view kCurve = "curve";
inline constexpr std::string_view kFloor = "floor";
inline constexpr std::string_view kOff = "off";
inline constexpr std::string_view kCurves = "curves";

// "set <fan> <rpm>", "auto <fan>" and "auto" (every fan).
inline std::string setRequest(std::int64_t fan, std::int64_t rpm) {
    return std::string(kSet) + " " + std::to_string(fan) + " " + std::to_string(rpm);
}
inline std::string autoRequest(std::int64_t fan) {
    return std::string(kAuto) + " " + std::to_string(fan);
}
inline constexpr const char* kAutoAllRequest = "auto";

// Replies. Pieces that surround values are joined by the daemon.
inline constexpr const char* kOK = "OK";
inline constexpr const char* kERR = "ERR";
inline constexpr const char* kReplyPong = "OK pong fans=";  // then the fan count
inline constexpr const char* kReplySet = "OK set fan=";     // then the fan, kReplySetRPM, rpm
inline constexpr const char* kReplySetRPM = " rpm=";
inline constexpr const char* kReplySetUsage = "ERR 用法: set <fan> <rpm>";
inline constexpr const char* kReplyAutoFan = "OK auto fan=";  // then the fan
inline constexpr const char* kReplyAutoAll = "OK auto all";
inline constexpr const char* kReplyBye = "OK bye";
inline constexpr const char* kReplyHold = "OK hold grace=";     // then the grace in seconds
inline constexpr const char* kReplyError = "ERR ";              // then the SMC error's text
inline constexpr const char* kReplyUnknown = "ERR 未知命令: ";  // then the request
// Sent on a connection over the daemon's connection limits, which it then closes: the
// daemon is there and serving, only not this connection now.
inline constexpr const char* kReplyBusy = "ERR 控制服务繁忙：连接数已达上限，请稍后再试";
// `quit` from a user who is neither root nor the one who started the daemon.
inline constexpr const char* kReplyQuitRefused = "ERR 只有 root 或启动控制服务的用户可以让它退出";

// A `set` below the fan's maximum while the machine is too hot (the daemon's heat guard
// has tripped and the CPU or GPU is not yet below 90 °C).
inline constexpr const char* kReplyTooHot =
    "ERR 温度过高：降到 90 °C 以下之前只能把风扇设为最大转速";

// Standing settings. "OK curve fan=F"; "OK curve off fan=F"; "OK floor fan=F rpm=R";
// "OK floor off fan=F"; "OK curves" and, when there are any, a space and every setting's
// words (Curves.h), joined by kReplyCurvesSeparator.
inline constexpr const char* kReplyCurve = "OK curve fan=";
inline constexpr const char* kReplyCurveOff = "OK curve off fan=";
inline constexpr const char* kReplyFloor = "OK floor fan=";  // then the fan, kReplySetRPM, rpm
inline constexpr const char* kReplyFloorOff = "OK floor off fan=";
inline constexpr const char* kReplyCurves = "OK curves";
inline constexpr const char* kReplyCurvesSeparator = "; ";
// A request the daemon refused to store (the reason follows).
inline constexpr const char* kReplyStandingInvalid = "ERR 设置无效: ";
// Setting or ending a standing setting by someone who is neither root nor the owner.
inline constexpr const char* kReplyStandingRefused =
    "ERR 只有 root 或启动控制服务的用户可以设置或取消曲线和最低转速";
// A `set` or `auto <fan>` from someone else on a fan the daemon runs by a curve or a floor:
// the fan's number, then the middle, the number again and the tail.
inline constexpr const char* kReplyFollowsCurve = "ERR 风扇 ";
inline constexpr const char* kReplyFollowsCurveMid = " 正在按曲线运行：用 orvtool curve ";
inline constexpr const char* kReplyFollowsCurveTail = " off 结束曲线";
inline constexpr const char* kReplyHasFloorMid = " 设有最低转速：用 orvtool floor ";
inline constexpr const char* kReplyHasFloorTail = " off 取消";

// The words of the hardware layer's description of a refused write, and those it adds when
// root could not make the write either; the error reply carries the description, so a
// client knows a refused write by them.
inline constexpr const char* kWriteRejectedText = "写入被拒";
inline constexpr const char* kWriteUnsupportedText = "此驱动不支持";

// Whether a reply is a success ("OK…"), and whether it is the busy refusal.
inline bool isOK(std::string_view reply) {
    return reply.substr(0, 2) == kOK;
}
inline bool isBusy(std::string_view reply) {
    return reply == kReplyBusy;
}

}  // namespace protocol
