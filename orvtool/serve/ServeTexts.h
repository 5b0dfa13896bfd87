// Every text the daemon writes: its start-up errors and banner, and its log lines (its
// protocol replies are the socket's contract, protocol/ControlProtocol.h). Pieces that
// surround values are joined by the callers.
#pragma once

namespace texts {

// serve: start-up (the socket message carries its own line feed)
inline constexpr const char* kServeSocketFailed = "socket 创建失败\n";
// bind( {path} ) 失败 errno= {errno}
inline constexpr const char* kServeBindFailed = "bind(";
inline constexpr const char* kServeBindFailedTail = ") 失败 errno=";
// Another daemon holds the lock (then its process id, or the lock's path when unknown).
inline constexpr const char* kServeAlreadyRunning = "控制服务已在运行（pid ";
inline constexpr const char* kServeAlreadyRunningTail = "），本次启动未做任何改动";
inline constexpr const char* kServeAlreadyRunningUnknown =
    "控制服务已在运行（持有锁的进程未知），本次启动未做任何改动: ";
// The lock could not be taken for another reason (then errno, the tail, the path).
inline constexpr const char* kServeLockFailed = "无法取得控制服务的锁 errno=";
inline constexpr const char* kServeLockFailedTail = ": ";
inline constexpr const char* kServeListenFailed = "listen 失败 errno=";
inline constexpr const char* kServeAcceptFailed = "accept 失败 errno=";
inline constexpr const char* kServeBanner = "Orvane 守护进程已启动: ";
inline constexpr const char* kServeBannerCount = "（风扇数 ";
inline constexpr const char* kServeBannerTail = "；quit/SIGINT/SIGTERM 退出并恢复自动）";

// serve: log lines
inline constexpr const char* kServeLog = "[serve] ";
inline constexpr const char* kServeLogArrow = " → ";
// The reply to `status` as its log line shows it: the state itself is left out.
inline constexpr const char* kServeLogStatusAnswered = "OK status {…}";
inline constexpr const char* kServeLogOverlong = "[serve] 请求行超过 ";  // then the byte limit
inline constexpr const char* kServeLogOverlongTail = " 字节仍无换行，已断开该连接";
inline constexpr const char* kServeLogIdle = "[serve] 连接 ";  // then the idle limit in seconds
inline constexpr const char* kServeLogIdleTail = " 秒无数据，已断开该连接";
inline constexpr const char* kServeLogLate =
    "[serve] 请求行 ";  // then the line deadline in seconds
inline constexpr const char* kServeLogLateTail = " 秒内未完成，已断开该连接";
inline constexpr const char* kServeLogBacklog = "[serve] 客户端不读回复，积压超过 ";  // then bytes
inline constexpr const char* kServeLogBacklogTail = " 字节，已断开该连接";
inline constexpr const char* kServeLogRefused = "[serve] 用户 uid=";  // then the peer's uid
inline constexpr const char* kServeLogRefusedTail = " 的连接数已达上限，已拒绝新连接";
inline constexpr const char* kServeLogRefusedTotal = "[serve] 连接总数已达上限，已拒绝新连接";
// The refusals of one user after the logged one, counted over an interval: "[serve] 用户
// uid=N 在 60 秒内另有 K 个连接因超出上限被拒绝".
inline constexpr const char* kServeLogRefusedCount = "[serve] 用户 uid=";
inline constexpr const char* kServeLogRefusedCountIn = " 在 ";
inline constexpr const char* kServeLogRefusedCountMore = " 秒内另有 ";
inline constexpr const char* kServeLogRefusedCountTail = " 个连接因超出上限被拒绝";
// The second address for scripts could not be bound (then the path, errno and the tail).
inline constexpr const char* kServeLogFallbackFailed = "[serve] 未能在 ";
inline constexpr const char* kServeLogFallbackFailedErrno = " 上监听 errno=";
inline constexpr const char* kServeLogFallbackFailedTail = "，只在主地址上服务";
// The owner (then its uid): the user who may make the daemon quit besides root.
inline constexpr const char* kServeLogOwner = "[serve] 启动者 uid=";
inline constexpr const char* kServeLogOwnerTail = "：可让控制服务退出，并有保留的连接名额";
inline constexpr const char* kServeLogAcceptRetry = "[serve] accept 暂时失败 errno=";  // then errno
inline constexpr const char* kServeLogAcceptRetryTail = "，稍后重试";
inline constexpr const char* kServeLogDropped = "[serve] 标准错误写不进，已丢弃 ";  // then a count
inline constexpr const char* kServeLogDroppedTail = " 行日志";
// Lines the log file did not take (a full disk, a file size or quota limit), counted; then
// kServeLogDroppedTail.
inline constexpr const char* kServeLogFileDropped = "[serve] 日志文件写不进，已丢弃 ";
// A request or reply cut in the log: the marker, then the number of bytes left out.
inline constexpr const char* kServeLogCut = "…[截去 ";
inline constexpr const char* kServeLogCutTail = " 字节]";

// serve: fans a daemon that ended without a stop left forced, handed back at the next start
inline constexpr const char* kServeLogLeftForced =
    "[serve] 上一个守护进程结束时仍有风扇被强制，已交还自动控制";
inline constexpr const char* kServeLogLeftForcedFailed =
    "[serve] 上一个守护进程结束时仍有风扇被强制，有风扇未能交还自动控制";
// serve: the mark of forced fans could not be kept (then errno, the tail, the path)
inline constexpr const char* kServeLogMarkFailed = "[serve] 强制标记写入失败 errno=";
inline constexpr const char* kServeLogMarkFailedTail =
    "，守护进程被强行结束后，下次启动时不会交还风扇: ";

// serve: leases on forced fans (each line starts with the user, then its tail)
inline constexpr const char* kServeLogLeaseUser = "[serve] 用户 uid=";  // then the uid
inline constexpr const char* kServeLogLeaseClosed = " 的租约已断开，";  // then the grace in s
inline constexpr const char* kServeLogLeaseClosedTail = " 秒内没有新租约就交还它强制的风扇";
inline constexpr const char* kServeLogLeaseKept = " 在宽限期内重新持有租约，风扇保持原样";
inline constexpr const char* kServeLogLeaseDue = " 的租约已结束 ";        // then the grace in s
inline constexpr const char* kServeLogLeaseDueFans = " 秒，已交还风扇 ";  // then the fans
inline constexpr const char* kServeLogLeaseDueTail = " 的自动控制";
inline constexpr const char* kServeLogLeaseFanSeparator = "、";
// A covered fan not handed back (after the user's tail: the fan, then why)
inline constexpr const char* kServeLogLeaseFan = " 的租约已结束，风扇 ";
inline constexpr const char* kServeLogLeaseChanged = " 已不是它所强制的状态，保持原样";
inline constexpr const char* kServeLogLeaseFailed = " 交还自动控制失败: ";  // then the error

// serve: keeping the forced fans as they were asked (each line starts with kServeLogKeepFan
// and the fan, or with kServeLog, then its tail; values are joined by the callers)
inline constexpr const char* kServeLogKeepFan = "[serve] 风扇 ";  // then the fan
// The SMC no longer holds the fan at the speed asked (then the speed, the tail, the attempt)
inline constexpr const char* kServeLogKeepSetAgain = " 已不在所设的 ";
inline constexpr const char* kServeLogKeepSetAgainTail = " 转/分，已重新设置，第 ";
inline constexpr const char* kServeLogKeepAttemptTail = " 次";
// Setting it again raised (then the error)
inline constexpr const char* kServeLogKeepSetFailed = " 重新设置失败: ";
// Three failed attempts in a row (then the speed, the tail)
inline constexpr const char* kServeLogKeepGaveUp = " 连续 3 次未能保持在 ";
inline constexpr const char* kServeLogKeepGaveUpTail = " 转/分，已放弃，交由 SMC 自动控制";
// Forced at another speed by someone else (root on the SMC itself)
inline constexpr const char* kServeLogKeepOtherSpeed = " 已被设为另一转速，不再保持";
// A hand-back that failed, retried (then the error) and one that then succeeded
inline constexpr const char* kServeLogKeepHandBackFailed = " 交还自动控制失败，5 秒后重试: ";
inline constexpr const char* kServeLogKeepHandBackDone = " 重试交还自动控制成功";
// Sleep and wake (then the fans, the tail)
inline constexpr const char* kServeLogSleep = "[serve] 系统即将睡眠，已交还风扇 ";
inline constexpr const char* kServeLogSleepTail = " 的自动控制，唤醒后重新设置";
inline constexpr const char* kServeLogWake = "[serve] 系统已唤醒，3 秒后重新设置所保持的风扇";
// A wake no event reported (then the seconds asleep with one decimal, the tail)
inline constexpr const char* kServeLogWakeByClock = "[serve] 时钟显示系统睡眠了 ";
inline constexpr const char* kServeLogWakeByClockTail =
    " 秒而未收到唤醒通知，3 秒后重新设置所保持的风扇";
// After wake, once the delay passed (then the fans)
inline constexpr const char* kServeLogWakeSet = "[serve] 唤醒后重新设置风扇 ";
// The SMC could not be opened again after wake (then the error)
inline constexpr const char* kServeLogReconnectFailed = "[serve] 唤醒后重新打开 SMC 失败: ";
// The heat guard (then the temperature with one decimal, the tail with the fans)
inline constexpr const char* kServeLogGuardTripped = "[serve] 温度 ";
inline constexpr const char* kServeLogGuardTrippedFans = " °C 已持续 5 秒不低于 95 °C，已交还风扇 ";
inline constexpr const char* kServeLogGuardTrippedTail =
    " 的自动控制；降到 90 °C 以下之前只接受最大转速";
inline constexpr const char* kServeLogGuardTrippedNone =
    " °C 已不低于 95 °C；降到 90 °C 以下之前只接受最大转速";
inline constexpr const char* kServeLogGuardCleared = "[serve] 温度已降到 ";
inline constexpr const char* kServeLogGuardClearedTail = " °C，恢复接受任意转速";
inline constexpr const char* kServeLogGuardNoReading =
    "[serve] 读不到 CPU 和 GPU 温度，温度保护不再限制转速";
inline constexpr const char* kServeLogFanSeparator = "、";
// No source of sleep and wake events (then the step, errno, the tail)
inline constexpr const char* kServeLogNoPowerEvents = "[serve] 无法接收系统睡眠通知（";
inline constexpr const char* kServeLogNoPowerEventsBus = "连接系统总线";
inline constexpr const char* kServeLogNoPowerEventsSubscribe = "订阅睡眠信号";
inline constexpr const char* kServeLogNoPowerEventsErrno = "失败 errno=";
inline constexpr const char* kServeLogNoPowerEventsTail = "），只能靠时钟发现唤醒";

// serve: what start-up found at the socket path (then the path, a kind, the tail)
inline constexpr const char* kServeFoundAt = "[serve] ";
inline constexpr const char* kServeFoundWas = " 处原有";
inline constexpr const char* kServeFoundReplaced = "，已替换";
inline constexpr const char* kServeFoundMoved = "，已移到 ";
inline constexpr const char* kFoundSocket = "套接字";
inline constexpr const char* kFoundSymlink = "符号链接";
inline constexpr const char* kFoundFile = "普通文件";
inline constexpr const char* kFoundFifo = "FIFO";
inline constexpr const char* kFoundDirectory = "目录";
inline constexpr const char* kFoundOther = "其他文件";

// serve: the log file (then the directory or file path)
inline constexpr const char* kServeLogDirUnsafe =
    "[serve] 日志目录不安全（符号链接、非 root 所有或他人可写），只写标准错误: ";
inline constexpr const char* kServeLogFileUnsafe =
    "[serve] 日志文件不是 root 所有的普通文件，只写标准错误: ";

// serve: standing settings (curves and floors). Why a request was not stored (the reply's
// reason after "ERR 设置无效: "), then the offending word where there is one.
inline constexpr const char* kStandingCurveUsage =
    "用法: curve <fan> <source> <t>:<rpm> <t>:<rpm> [...] 或 curve <fan> off";
inline constexpr const char* kStandingFloorUsage = "用法: floor <fan> <rpm> 或 floor <fan> off";
inline constexpr const char* kStandingNoFan = "没有这个风扇: ";
inline constexpr const char* kStandingSource =
    "不是温度来源（传感器键、cpu、gpu 或 max:<键>,<键>…，至多 8 个）: ";
inline constexpr const char* kStandingPointCount = "曲线需要 2 到 8 个点";
inline constexpr const char* kStandingPoint = "不是 <温度>:<转速> 形式的点: ";
inline constexpr const char* kStandingTemperature = "温度不在 0 到 130 °C 之间: ";
inline constexpr const char* kStandingFalling = "曲线的温度必须逐点上升: ";
inline constexpr const char* kStandingSpeed = "转速必须是大于 0 的整数: ";
inline constexpr const char* kStandingUnknownSensor = "没有这个温度传感器: ";
// The speed, then the fan, its limits and the tail: "转速 9000 超出风扇 0 的范围 1200–5700 转/分".
inline constexpr const char* kStandingOutside = "转速 ";
inline constexpr const char* kStandingOutsideFan = " 超出风扇 ";
inline constexpr const char* kStandingOutsideRange = " 的范围 ";
inline constexpr const char* kStandingOutsideDash = "–";
inline constexpr const char* kStandingOutsideTail = " 转/分";
// A floor on a fan with a mode key (then the fan and the tail).
inline constexpr const char* kStandingFloorModeKey = "风扇 ";
inline constexpr const char* kStandingFloorModeKeyTail =
    " 由模式键控制，SMC 不接受提高的最低转速；请改用曲线";
// The store could not take the change (then errno); the stored file is of another format.
inline constexpr const char* kStandingNotSaved = "无法保存曲线和最低转速，未作改动 errno=";
inline constexpr const char* kStandingUnsafe =
    "状态目录或曲线文件不安全（符号链接、非 root 所有或他人可写），未作改动";
inline constexpr const char* kStandingOtherFormat = "已存的曲线文件不是本版本能读的格式，未作改动";

// serve: standing settings, log lines
inline constexpr const char* kServeLogStandingLoaded = "[serve] 已读入曲线和最低转速: ";  // count
inline constexpr const char* kServeLogStandingLine = "[serve] 曲线文件第 ";
inline constexpr const char* kServeLogStandingLineTail = " 行无法读懂，已略过: ";
inline constexpr const char* kServeLogStandingOtherFormat =
    "[serve] 曲线文件不是本版本能读的格式，不运行其中的设置，也不覆盖它: ";
inline constexpr const char* kServeLogStandingUnsafe =
    "[serve] 状态目录或文件不安全（符号链接、非 root 所有或他人可写），曲线不保存: ";
inline constexpr const char* kServeLogStandingReadFailed = "[serve] 无法读取曲线和最低转速 errno=";
inline constexpr const char* kServeLogStandingSaveFailed = "[serve] 无法保存曲线和最低转速 errno=";
inline constexpr const char* kServeLogStandingSet = "[serve] 风扇 ";  // then the fan
inline constexpr const char* kServeLogStandingSetTail = " 的设置: ";  // then the setting's words
inline constexpr const char* kServeLogStandingNotRun = "，本机不能运行，保留但不运行: ";
inline constexpr const char* kServeLogStandingEnded = " 的曲线或最低转速已结束";
inline constexpr const char* kServeLogStandingWrite = " 按设置写入 ";  // then rpm
inline constexpr const char* kServeLogStandingWriteTail = " 转/分";
inline constexpr const char* kServeLogStandingWriteFailed = " 按设置写入失败: ";
inline constexpr const char* kServeLogStandingNoSource = " 的温度来源读不出，交由 SMC 自动控制";
inline constexpr const char* kServeLogStandingSourceBack = " 的温度来源又能读出，曲线继续";

}  // namespace texts
