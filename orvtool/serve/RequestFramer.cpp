#include "RequestFramer.h"

namespace orvtool {

std::optional<std::string_view> RequestFramer::nextLine() {
    const std::size_t lf = pending_.find('\n', start_);
    if (lf == std::string::npos || lf - start_ > maxPending_) {
        pending_.erase(0, start_);
        start_ = 0;
        return std::nullopt;
    }
    const std::string_view line(pending_.data() + start_, lf - start_);
    start_ = lf + 1;
    return line;
}

}  // namespace orvtool
