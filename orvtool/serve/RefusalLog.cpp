#include "RefusalLog.h"

#include <algorithm>
#include <string>

#include "Log.h"
#include "ServeTexts.h"

namespace orvtool {

void RefusalLog::refused(long uid, bool overTotal, Clock::time_point now) {
    auto it = windows_.find(uid);
    if (it != windows_.end() && now < it->second.start + interval_) {
        ++it->second.suppressed;
        return;
    }
    if (it != windows_.end()) close(it->first, it->second);
    log_.write(overTotal
                   ? std::string(texts::kServeLogRefusedTotal)
                   : texts::kServeLogRefused + std::to_string(uid) + texts::kServeLogRefusedTail);
    windows_[uid] = Window{now, 0};
}

void RefusalLog::closeEnded(Clock::time_point now) {
    for (auto it = windows_.begin(); it != windows_.end();) {
        if (now < it->second.start + interval_) {
            ++it;
            continue;
        }
        close(it->first, it->second);
        it = windows_.erase(it);
    }
}

void RefusalLog::closeAll() {
    for (const auto& [uid, window] : windows_)
        close(uid, window);
    windows_.clear();
}

RefusalLog::Clock::time_point RefusalLog::nextDue() const {
    auto due = Clock::time_point::max();
    for (const auto& [uid, window] : windows_)
        if (window.suppressed > 0) due = std::min(due, window.start + interval_);
    return due;
}

void RefusalLog::close(long uid, const Window& window) {
    if (window.suppressed == 0) return;
    log_.write(texts::kServeLogRefusedCount + std::to_string(uid) + texts::kServeLogRefusedCountIn +
               std::to_string(interval_.count() / 1000) + texts::kServeLogRefusedCountMore +
               std::to_string(window.suppressed) + texts::kServeLogRefusedCountTail);
}

}  // namespace orvtool
