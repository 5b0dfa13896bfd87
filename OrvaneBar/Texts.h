// Every text the tray application shows, byte for byte, in one place.
#pragma once

namespace Texts {

// Start-up alerts.
inline constexpr const char* alreadyRunningTitle = "OrvaneBar 已在运行";
inline constexpr const char* alreadyRunningMessage = "菜单栏中已有本应用的图标，请勿重复启动。";
inline constexpr const char* smcInitFailedTitle = "SMC 初始化失败";
inline constexpr const char* smcInitFailedSuffix =
    "\n\n本应用仅支持带 Apple SMC 的 Intel MacBook。";

// Status item.
inline constexpr const char* statusInitialTitle = "--";
inline constexpr const char* statusToolTip = "Orvane 风扇控制（左键点开）";
inline constexpr const char* statusTitleSuffix = "k";

// Temperature line: "CPU 45℃   GPU 52℃", "Orvane" when neither reading exists.
inline constexpr const char* tempLineInitial = "CPU --  GPU --";
inline constexpr const char* tempLineCPUPrefix = "CPU ";
inline constexpr const char* tempLineCPUSuffix = "℃   ";
inline constexpr const char* tempLineGPUPrefix = "GPU ";
inline constexpr const char* tempLineGPUSuffix = "℃";
inline constexpr const char* tempLineNone = "Orvane";

// The submenu of every temperature sensor: "TC0P  CPU 近端", a tab (the value stands at the
// right edge, where a menu puts shortcuts) and "45.5℃"; then how many were left
// out ("另有 3 个传感器未列出（读不到、占位值或读数不可信）").
inline constexpr const char* sensorMenuTitle = "全部传感器";
inline constexpr const char* sensorSeparator = "  ";
inline constexpr const char* sensorValueSeparator = "\t";
inline constexpr const char* sensorDegrees = "℃";
inline constexpr const char* sensorsLeftOutPrefix = "另有 ";
inline constexpr const char* sensorsLeftOutSuffix = " 个传感器未列出（读不到、占位值或读数不可信）";
inline constexpr const char* sensorsNone = "未检测到温度传感器";
inline constexpr const char* sensorsUnavailable = "读不到 SMC 的键索引";

// Menu entries.
inline constexpr const char* restoreAllAuto = "恢复全部自动模式";
inline constexpr const char* tempBoostPrefix = "阶梯加速（";
inline constexpr const char* tempBoostArrow = "→";
inline constexpr const char* tempBoostSuffix = "℃）";
inline constexpr const char* setTempThreshold = "设置阶梯加速温度…";
inline constexpr const char* uninstallService = "卸载免密码控制服务";
inline constexpr const char* installService = "安装免密码控制服务";
inline constexpr const char* loginItem = "开机自动启动";
inline constexpr const char* quitApp = "退出（恢复自动模式）";
inline constexpr const char* quitKeyEquivalent = "q";
// A machine without fans: the disabled line between the separators around the (absent) rows.
inline constexpr const char* noFans = "未检测到风扇";

// Standard error at start: this prefix, then the warning that the boot's record of original
// fan minimums was not used (the texts both programs share, protocol/RecordTexts.h).
inline constexpr const char* recordIgnoredPrefix = "OrvaneBar: ";

// Standard error when the platform's login-item service refuses a call and says why
// (the prefix, then its explanation).
inline constexpr const char* loginItemRegisterFailed = "OrvaneBar: 登录项注册失败: ";
inline constexpr const char* loginItemUnregisterFailed = "OrvaneBar: 登录项注销失败: ";

// Fan row.
inline constexpr const char* fanRowInitialName = "Fan";
inline constexpr const char* fanRowInitialRPM = "-- RPM";
inline constexpr const char* manualCheckbox = "手动";
inline constexpr const char* automaticTarget = "自动";
inline constexpr const char* rpmSuffix = " RPM";
// A fan as a submenu (trays whose host draws the menu): "Left  1999 RPM  自动",
// "Left  3480 RPM  → 5700 RPM".
inline constexpr const char* fanMenuSeparator = "  ";
inline constexpr const char* fanMenuTargetPrefix = "→ ";

// A fan the control service runs by itself, shown in place of its target (row, submenu
// title) and in the tray's tooltip: "按曲线运行（cpu）", "按曲线运行（max:TC0P,TG0P）",
// "最低 2000 rpm"; the tooltip's line per fan after statusToolTip: "\n风扇 0：按曲线运行（cpu）".
inline constexpr const char* standingCurvePrefix = "按曲线运行（";
inline constexpr const char* standingCurveSuffix = "）";
inline constexpr const char* standingFloorPrefix = "最低 ";
inline constexpr const char* standingFloorSuffix = " rpm";
inline constexpr const char* toolTipFanPrefix = "\n风扇 ";
inline constexpr const char* toolTipFanSeparator = "：";
// The tooltip's line of a fan held by someone other than this application's user: another
// user's set or lease ("风扇 0：由用户 1001 控制"), or root's own write on the SMC.
inline constexpr const char* toolTipHeldByUserPrefix = "由用户 ";
inline constexpr const char* toolTipHeldByUserSuffix = " 控制";
inline constexpr const char* toolTipRootDirect = "由 root 直接设定";
// Asked before a change on such a fan is sent, since the change ends the setting.
inline constexpr const char* endCurveTitle = "结束曲线？";
inline constexpr const char* endCurveMessage =
    "该风扇正在按曲线运行，转速由控制服务调节。\n手动设置转速或恢复自动会结束这条曲线。";
inline constexpr const char* endCurveButton = "结束曲线";
inline constexpr const char* endFloorTitle = "结束最低转速？";
inline constexpr const char* endFloorMessage =
    "该风扇设有最低转速，由控制服务保持。\n手动设置转速或恢复自动会取消这一设置。";
inline constexpr const char* endFloorButton = "结束最低转速";
// The control service did not let this user end the setting; the message is its reason.
inline constexpr const char* standingHeldTitle = "风扇由控制服务运行";

// Write path alerts. The start failure reads: startFailedMessage, then
// startFailedManualPrefix, the tool path between apostrophes, startFailedManualSuffix,
// then startFailedLogPrefix and the daemon log path.
inline constexpr const char* startFailedTitle = "控制服务启动失败";
inline constexpr const char* startFailedMessage = "无法以管理员身份启动 orvtool serve。\n";
inline constexpr const char* startFailedManualPrefix = "可手动运行：sudo ";
inline constexpr const char* startFailedManualSuffix = " serve\n";
inline constexpr const char* startFailedLogPrefix = "日志：";
// "命令「<command>」发送失败，…"
inline constexpr const char* noReplyTitle = "控制服务无响应";
inline constexpr const char* noReplyPrefix = "命令「";
// The daemon was gone: the next write starts it again.
inline constexpr const char* noReplySuffix =
    "」发送失败，守护进程可能已退出。\n再次操作即可重新拉起服务。";
// The daemon took the connection and did not answer: no second one can start while it
// runs, so it has to be ended.
inline constexpr const char* noReplyUnresponsiveSuffix =
    "」发送失败：控制服务接受了连接，但没有回复。\n"
    "请在终端执行：sudo pkill -f 'orvtool serve'\n"
    "然后重新操作，会再次拉起服务。";
// The daemon refused the connection for its connection limits: "命令「<command>」未执行…".
inline constexpr const char* busyTitle = "控制服务繁忙";
inline constexpr const char* busyPrefix = "命令「";
inline constexpr const char* busySuffix =
    "」未执行：控制服务的连接数已达上限，正忙于其他连接。\n请稍后再试。";
inline constexpr const char* writeRejectedTitle = "写入被拒绝";
inline constexpr const char* writeRejectedMessage =
    "控制服务不是以 root 运行的（权限不足）。\n"
    "请在终端执行：sudo pkill -f 'orvtool serve'\n"
    "然后重新操作，会再次弹出管理员授权。";
// A refusal that root would not change: the machine's SMC driver cannot write that key.
inline constexpr const char* writeUnsupportedMessage =
    "本机的 SMC 驱动不支持写入该键（如风扇模式键，或非 fpe2 类型的转速键）。\n"
    "以 root 运行也无法改变，本机无法这样控制该风扇。";

// The daemon's heat guard refused a speed below the maximum; the message is its reason.
inline constexpr const char* tooHotTitle = "温度过高";

// Something else than the root control service holds the socket: "<socket>被另一个用户
// （uid N）占用，…", then "命令「<command>」未发送。".
inline constexpr const char* foreignListenerTitle = "控制服务被冒用";
inline constexpr const char* foreignOwnerPrefix = "被另一个用户（uid ";
inline constexpr const char* foreignOwnerSuffix = "）占用，不是以 root 运行的控制服务。\n";
inline constexpr const char* foreignCommandPrefix = "命令「";
inline constexpr const char* foreignCommandSuffix = "」未发送。";

// A tool that root must not run: "不会以 root 运行 '<tool>'：<reason>\n"; the reason names
// the file or directory at fault: "「<path>」属于另一个用户（uid N）".
inline constexpr const char* toolUntrustedTitle = "orvtool 不可信";
inline constexpr const char* toolRefusedPrefix = "不会以 root 运行 ";
inline constexpr const char* toolRefusedSeparator = "：";
inline constexpr const char* toolUntrustedAdvice =
    "请把 orvtool 放在只有 root 或当前用户能修改的目录中。";
inline constexpr const char* trustNamePrefix = "「";
inline constexpr const char* trustNameSuffix = "」";
inline constexpr const char* trustMissing = "不存在";
inline constexpr const char* trustNotRegular = "不是普通文件";
inline constexpr const char* trustOwnedPrefix = "属于另一个用户（uid ";
inline constexpr const char* trustOwnedSuffix = "）";
inline constexpr const char* trustWritable = "可被其他用户修改";

// Quit could not hand the fans back: the cause, then how to do it by hand (only with a
// tool root may run; otherwise why not).
inline constexpr const char* quitFailedTitle = "风扇未能恢复自动模式";
inline constexpr const char* quitNoAnswer = "控制服务没有应答。\n";
inline constexpr const char* quitNotStarted = "控制服务未能启动。\n";
inline constexpr const char* quitBusy = "控制服务繁忙（连接数已达上限），一直没有空出连接。\n";
inline constexpr const char* quitReplyPrefix = "控制服务回复：";
inline constexpr const char* quitManualPrefix = "请在终端执行：sudo ";
inline constexpr const char* quitManualSuffix = " auto";

// Temperature boost dialog.
inline constexpr const char* tempDialogMessage = "设置阶梯加速温度";
inline constexpr const char* tempDialogInformative =
    "起始温度：风扇开始加速的温度\n"
    "全速温度：风扇达到 100% 转速的温度\n\n"
    "区间内分 4 档：40% → 60% → 80% → 100%";
inline constexpr const char* tempDialogStartLabel = "起始加速：";
inline constexpr const char* tempDialogFullLabel = "全速温度：";
inline constexpr const char* tempDialogUnit = "℃";
inline constexpr const char* okButton = "确定";
inline constexpr const char* cancelButton = "取消";
inline constexpr const char* invalidTempTitle = "无效的温度值";
inline constexpr const char* invalidTempMessage =
    "起始温度范围 40~105℃，全速温度需高于起始温度且不超过 110℃。";

// Control service installer: confirmations, working titles and results.
inline constexpr const char* uninstallConfirmTitle = "卸载免密码控制服务？";
inline constexpr const char* uninstallConfirmMessage = "卸载后，调整风扇转速时可能再次弹出密码框。";
inline constexpr const char* uninstallButton = "卸载";
inline constexpr const char* uninstallWorking = "卸载中…";
inline constexpr const char* installConfirmTitle = "安装免密码控制服务";
inline constexpr const char* installConfirmMessage =
    "安装后风扇控制守护进程将随开机自启并常驻，调整转速时不再弹出密码框。\n\n"
    "安装过程需要输入一次管理员密码。";
inline constexpr const char* installButton = "安装";
inline constexpr const char* installWorking = "安装中…";
inline constexpr const char* installSucceededTitle = "安装成功";
inline constexpr const char* installSucceededMessage =
    "免密码控制服务已安装并启动，之后调整风扇转速不再需要输入密码。";
inline constexpr const char* installFailedTitle = "安装失败";
inline constexpr const char* installFailedMessage = "请重试或检查管理员密码是否正确。";
inline constexpr const char* uninstallSucceededTitle = "已卸载";
inline constexpr const char* uninstallSucceededMessage =
    "免密码控制服务已卸载。重新启动应用后生效。";
inline constexpr const char* uninstallFailedTitle = "卸载失败";
inline constexpr const char* uninstallFailedMessage = "可能需要在系统设置中手动删除。";

}  // namespace Texts
