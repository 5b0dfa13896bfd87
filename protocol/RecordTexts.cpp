#include "RecordTexts.h"

namespace recordTexts {

const char* reason(RecordProblem problem) {
    switch (problem) {
        case RecordProblem::unsafe:
            return kUnsafe;
        case RecordProblem::unreadable:
            return kUnreadable;
        case RecordProblem::malformed:
            return kMalformed;
        case RecordProblem::fanCount:
            return kFanCount;
        case RecordProblem::sizes:
            return kSizes;
        case RecordProblem::none:
        case RecordProblem::missing:
            break;
    }
    return nullptr;
}

std::string ignoredWarning(RecordProblem problem, const std::string& path) {
    const char* why = reason(problem);
    if (why == nullptr) return "";
    return kIgnored + std::string(why) + kIgnoredTail + path;
}

}  // namespace recordTexts
