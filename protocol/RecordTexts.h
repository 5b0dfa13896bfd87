// What both programs say on standard error when the boot's record of original fan minimums
// (MinimumRecord.h) was not used: "原始最小转速记录无效，已忽略（<reason>）: <path>", after
// each program's own prefix. The hardware layer only tells the case; the texts are here.
#pragma once

#include <string>

#include "MinimumRecord.h"

namespace recordTexts {

inline constexpr const char* kIgnored = "原始最小转速记录无效，已忽略（";
inline constexpr const char* kIgnoredTail = "）: ";  // then the record's path
inline constexpr const char* kUnsafe = "不是 root 所有的普通文件，或目录可被他人写入";
inline constexpr const char* kUnreadable = "读取失败";
inline constexpr const char* kMalformed = "格式不符";
inline constexpr const char* kFanCount = "风扇数与本机不符";
inline constexpr const char* kSizes = "字节数与本机的最小转速键不符";

// Why a record was not used; nothing for a usable or absent one, which need no warning.
const char* reason(RecordProblem problem);

// The whole warning for the record at `path`, without a prefix or line feed; empty when
// the problem needs none.
std::string ignoredWarning(RecordProblem problem, const std::string& path);

}  // namespace recordTexts
