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

// Fan row.
inline constexpr const char* fanRowInitialName = "Fan";
inline constexpr const char* fanRowInitialRPM = "-- RPM";
inline constexpr const char* manualCheckbox = "手动";
inline constexpr const char* automaticTarget = "自动";
inline constexpr const char* rpmSuffix = " RPM";

}  // namespace Texts
