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
