// Every text the command line shows: usage, errors and command output (the daemon's texts are
// in serve/ServeTexts.h). Pieces that surround values are joined by the callers.
#pragma once

namespace texts {

// Usage texts carry their own line feed and are written unchanged.
inline constexpr const char* kUsageGeneral =
    "用法: orvtool info | rpm | sensors | set <fanIndex> <rpm> | auto | watch <秒数> | serve"
    " | curve <fanIndex> <来源> <温度>:<rpm>… | curve <fanIndex> off"
    " | floor <fanIndex> <rpm> | floor <fanIndex> off | curves | status"
    " | metrics [--output <文件>]"
    "（info、rpm、sensors、watch、curves、status 可加 --json）\n";
inline constexpr const char* kUsageSet = "用法: orvtool set <fanIndex> <rpm>\n";
inline constexpr const char* kUsageWatch = "用法: orvtool watch <秒数> [--json]\n";
inline constexpr const char* kUsageCurve =
    "用法: orvtool curve <fanIndex> <来源> <温度>:<rpm> <温度>:<rpm> […]（2 到 8 个点，温度递增）\n"
    "      orvtool curve <fanIndex> off\n"
    "来源: cpu、gpu、传感器键（见 orvtool sensors）或 max:<键>,<键>…（取其中最热的）\n";
inline constexpr const char* kUsageFloor =
    "用法: orvtool floor <fanIndex> <rpm>\n"
    "      orvtool floor <fanIndex> off\n";
inline constexpr const char* kUsageCurves = "用法: orvtool curves [--json]\n";
inline constexpr const char* kUsageStatus = "用法: orvtool status [--json]\n";
inline constexpr const char* kUsageMetrics = "用法: orvtool metrics [--output <文件>]\n";

// Dispatch.
inline constexpr const char* kSMCInitFailed = "SMC 初始化失败: ";
inline constexpr const char* kUnknownSubcommand = "未知子命令: ";

// Results that could not be written (then a reason and the errno).
inline constexpr const char* kStdoutFailed = "写入标准输出失败: ";
inline constexpr const char* kStdoutClosed = "标准输出已关闭";
inline constexpr const char* kStdoutNoSpace = "设备空间不足";
inline constexpr const char* kStdoutBrokenPipe = "读取端已关闭";
inline constexpr const char* kStdoutIOError = "输入输出错误";
inline constexpr const char* kStdoutOther = "系统错误";
inline constexpr const char* kStdoutErrno = " (errno=";

// The boot's record of original fan minimums could not be written (the warning that it was
// not used is shared with the application: protocol/RecordTexts.h)
inline constexpr const char* kRecordWriteFailed = "原始最小转速记录写入失败 errno=";  // then errno
inline constexpr const char* kRecordWriteFailedTail = ": ";  // then the path

// info
inline constexpr const char* kInfoFanCount = "风扇数: ";
inline constexpr const char* kInfoFanHeader = "— 风扇 ";  // then index, ": ", name
inline constexpr const char* kInfoCurrent = "    当前 RPM: ";
inline constexpr const char* kInfoAcType = "  (Ac dataType=";
inline constexpr const char* kInfoMinMax = "    Min/Max: ";
inline constexpr const char* kInfoSafeAbsent = "    安全转速 Sf: (不存在)";
inline constexpr const char* kInfoSafe = "    安全转速 Sf: ";
inline constexpr const char* kInfoMdPresent = "Md: 存在, 当前=0x";
inline constexpr const char* kInfoModeAuto = "自动(0x00)";
inline constexpr const char* kInfoModeForced = "手动(0x01)";
inline constexpr const char* kInfoMdNewPath = ") → 走新机型 Md+Tg 路径";
inline constexpr const char* kInfoMdAbsent = "Md: 不存在 → 走老机型 Mn 路径";
inline constexpr const char* kInfoMnBytesAbsent = "    启动时 Mn 原始字节: (未读到)";
inline constexpr const char* kInfoMnBytes = "    启动时 Mn 原始字节: ";
inline constexpr const char* kInfoForceFlag = "FS! 全局强制标志: 0x";
inline constexpr const char* kInfoForceFlagAbsent = "FS! 全局强制标志: (不存在)";
inline constexpr const char* kInfoForced = "强制";
inline constexpr const char* kInfoAuto = "自动";
inline constexpr const char* kInfoCPUFormat = "CPU 温度: %.1f ℃";
inline constexpr const char* kInfoCPUAbsent = "CPU 温度: (读不到)";
inline constexpr const char* kInfoGPUFormat = "GPU 温度: %.1f ℃";
inline constexpr const char* kInfoGPUAbsent = "GPU 温度: (读不到)";
// What serves the SMC calls: on Linux the emulator or the applesmc driver (then the
// emulator's socket or the driver's directory, and ")").
inline constexpr const char* kInfoBackendIOKit = "SMC: IOKit (AppleSMC)";
inline constexpr const char* kInfoBackendEmulator = "SMC: 模拟器 (";
inline constexpr const char* kInfoBackendDriver = "SMC: applesmc 驱动 (";

// rpm
inline constexpr const char* kFan = "风扇 ";
inline constexpr const char* kRpmReadFailed = " RPM 读取失败";

// sensors: one line a sensor (key, value, then its name when it has one), then the count of
// those left out
inline constexpr const char* kSensorFormat = "%s  %6.1f ℃";
inline constexpr const char* kSensorNameSeparator = "  ";
inline constexpr const char* kSensorsLeftOut = "略去 ";  // then the count
inline constexpr const char* kSensorsLeftOutTail =
    " 个传感器（读不到、占位值，或读数 ≤ -40 ℃ 或 ≥ 150 ℃）";
inline constexpr const char* kSensorsIndexFailed = "读不到 SMC 的键索引: ";  // then the reason

// set
inline constexpr const char* kSetIndexOutOfRange = "风扇索引越界: ";
inline constexpr const char* kSetIndexCountOpen = "（共 ";
inline constexpr const char* kSetIndexCountClose = " 个风扇）";
inline constexpr const char* kSetBefore = " 写入前 RPM: ";
inline constexpr const char* kSetLimitsMin = "  [Min=";
inline constexpr const char* kSetLimitsMax = " Max=";
inline constexpr const char* kSetWriteFailed = "写入失败: ";
inline constexpr const char* kSetDiagnosis = "诊断: ";
inline constexpr const char* kSetTarget = "目标转速 ";
inline constexpr const char* kSetClamped = " → 钳制后写入 ";
inline constexpr const char* kSetReadBack = "写入后立即读回 RPM: ";
inline constexpr const char* kSetReadBackNote = "（实际收敛需几秒）";
inline constexpr const char* kSetMdReadBack = "Md 读回: 0x";

// auto
inline constexpr const char* kAutoFailed = "恢复自动失败: ";
inline constexpr const char* kAutoDone = "已对 ";  // then the fan count
inline constexpr const char* kAutoDoneTail = " 个风扇执行恢复自动";
inline constexpr const char* kAutoMdReadBack = "Md 读回: 0x";
inline constexpr const char* kAutoStillForced = "仍强制!";
inline constexpr const char* kAutoOK = "自动 OK";
inline constexpr const char* kAutoCurrent = " 当前 RPM: ";
// A fan without a mode key whose original minimum is unknown (then the index and the tail).
inline constexpr const char* kAutoSkippedTail = " 无模式键且原始最小转速未知，无法强制，已跳过";

// curve, floor, curves: the daemon could not be asked (then where it listens, or its user)
inline constexpr const char* kDaemonNotRunning = "无法连接控制服务：orvtool serve 没有在运行";
inline constexpr const char* kDaemonNoReply = "控制服务没有及时回复: ";  // then the socket
inline constexpr const char* kDaemonForeign = "未向 ";                   // then the socket
inline constexpr const char* kDaemonForeignUser = " 发送请求：监听它的进程属于用户 uid=";
inline constexpr const char* kDaemonForeignUnknown = "(未知)";
inline constexpr const char* kDaemonForeignTail = "，既不是 root 也不是当前用户";
inline constexpr const char* kDaemonClosed = "控制服务没有回复就关闭了连接";
inline constexpr const char* kDaemonReplyNotUTF8 = "控制服务的回复不是有效的 UTF-8";
inline constexpr const char* kDaemonBadReply = "无法识别控制服务的回复: ";  // then the line
// curves: the listing without settings, and a setting --json cannot read
inline constexpr const char* kCurvesNone = "没有设置曲线或最低转速";
inline constexpr const char* kCurvesUnreadable = "无法解析控制服务列出的设置: ";

// status: a table of the fans (a row each, columns padded to their widest cell and kept
// apart by the gap; "-" for a value that does not apply or could not be read), then a line
// per lease, the heat guard, the counts and the daemon itself
inline constexpr const char* kStatusColumns[] = {"风扇", "名称", "当前",   "目标", "最小",
                                                 "最大", "控制", "持有者", "设置"};
inline constexpr const char* kStatusGap = "  ";
inline constexpr const char* kStatusNone = "-";
inline constexpr const char* kStatusAutomatic = "自动";
inline constexpr const char* kStatusSet = "设定";
inline constexpr const char* kStatusLease = "租约";
inline constexpr const char* kStatusCurve = "曲线";
inline constexpr const char* kStatusFloor = "最低转速";
inline constexpr const char* kStatusUid = "uid ";  // then the uid
inline constexpr const char* kStatusRootDirect = "root 直接写入";
inline constexpr const char* kStatusByDaemon = "控制服务";
inline constexpr const char* kStatusLeasesNone = "租约: 无";
inline constexpr const char* kStatusLeaseFormat = "租约 uid %ld: 连接 %d 个，风扇 %s";
inline constexpr const char* kStatusFanSeparator = ",";
inline constexpr const char* kStatusLeaseGraceFormat = "，宽限还剩 %.1f 秒";
inline constexpr const char* kStatusGuardClear = "过热保护: 未触发";
inline constexpr const char* kStatusGuardTripped = "过热保护: 已触发";
inline constexpr const char* kStatusGuardCelsiusFormat = "，当前 %.1f ℃";
inline constexpr const char* kStatusGuardNoReading = "，温度读不到";
inline constexpr const char* kStatusGuardLimitsFormat = "（%g ℃ 触发，低于 %g ℃ 解除）";
inline constexpr const char* kStatusSetAgainFormat = "重新设定: 唤醒后 %llu，被 SMC 改回后 %llu";
inline constexpr const char* kStatusHandBacksFormat =
    "自动交还: 租约到期 %llu，过热 %llu，睡眠前 %llu，放弃 %llu";
inline constexpr const char* kStatusRefusalsFormat = "拒绝: 连接 %llu，请求 %llu";
inline constexpr const char* kStatusGuardTripsFormat = "过热触发: %llu 次";
inline constexpr const char* kStatusDaemonFormat = "版本 %s，pid %ld，启动于 %s";
inline constexpr const char* kStatusTimeFormat = "%Y-%m-%d %H:%M:%S";  // local time (strftime)
inline constexpr const char* kStatusOwner = "，所有者 uid ";           // then the uid
inline constexpr const char* kStatusOwnerNone = "，无所有者（root 启动）";
inline constexpr const char* kStatusGraceFormat = "，租约宽限 %d 秒";
// A reply to `status` whose object this tool cannot read (then the line)
inline constexpr const char* kStatusUnreadable = "无法解析控制服务的状态: ";
// metrics: the SMC could not be read (the metrics are still written, orvane_up 0), and a
// file that could not be replaced (then the path, ": ", the step, and the errno if any)
inline constexpr const char* kMetricsSMCUnread = "SMC 读取失败，orvane_up 为 0: ";
inline constexpr const char* kMetricsWriteFailed = "指标文件写入失败: ";
inline constexpr const char* kMetricsBadPath = "路径中没有文件名";
inline constexpr const char* kMetricsOpenDirectory =
    "无法打开所在目录（不存在、是符号链接或不是目录）";
inline constexpr const char* kMetricsUntrustedDirectory =
    "所在目录不属于 root 或可被组或其他用户写入，root 不在其中写文件";
inline constexpr const char* kMetricsCreateTemporary = "无法创建临时文件";
inline constexpr const char* kMetricsWrite = "写入临时文件失败";
inline constexpr const char* kMetricsSync = "同步临时文件失败";
inline constexpr const char* kMetricsMode = "无法设置临时文件的权限";
inline constexpr const char* kMetricsRename = "无法用临时文件替换该文件";
// The metrics' help lines.
inline constexpr const char* kHelpUp = "SMC 已打开并读取时为 1，否则为 0";
inline constexpr const char* kHelpBuildInfo = "orvtool 的版本（标签 version），值恒为 1";
inline constexpr const char* kHelpFanSpeed = "风扇当前转速 (rpm)";
inline constexpr const char* kHelpFanTarget =
    "风扇目标转速 (rpm)；以抬高最低转速强制的风扇为抬高后的最低转速";
inline constexpr const char* kHelpFanMin = "风扇的最低转速 (rpm，出厂值)";
inline constexpr const char* kHelpFanMax = "风扇的最高转速 (rpm)";
inline constexpr const char* kHelpFanForced = "SMC 显示风扇被强制时为 1，否则为 0";
inline constexpr const char* kHelpTemperature = "温度传感器的读数 (℃)";
inline constexpr const char* kHelpReadFailures = "本次读取失败的读数个数，按种类";
inline constexpr const char* kHelpDaemonUp = "控制服务回复了状态时为 1，否则为 0";
inline constexpr const char* kHelpDaemonStart = "控制服务的启动时间 (Unix 时间，秒)";
inline constexpr const char* kHelpGuardTripped = "高温保护正在生效时为 1，否则为 0";
inline constexpr const char* kHelpGuardTemperature =
    "高温保护最近读到的温度 (℃，CPU 与 GPU 中较热者)";
inline constexpr const char* kHelpGuardTrip = "高温保护的触发温度 (℃)";
inline constexpr const char* kHelpLeases = "持有租约的用户数";
inline constexpr const char* kHelpSetAgain =
    "控制服务重新设置风扇的次数，按原因（wake: 唤醒后，change: SMC 自行改变后）";
inline constexpr const char* kHelpHandBacks = "控制服务自行交还风扇的次数，按原因";
inline constexpr const char* kHelpRefusals = "控制服务拒绝的连接（connection）与请求（request）数";
inline constexpr const char* kHelpGuardTrips = "高温保护触发的次数";

// watch
inline constexpr const char* kWatchTime = "时间(s)";
inline constexpr const char* kWatchFanFormat = "  | Fan%d(%s)";
inline constexpr const char* kWatchTemps = "  | CPU℃  GPU℃";
inline constexpr const char* kWatchTimeFormat = "%5.1f";
inline constexpr const char* kWatchRPMFormat = "  | %5lld";
inline constexpr const char* kWatchTempFormat = "  | %5.1f %5.1f";

}  // namespace texts
