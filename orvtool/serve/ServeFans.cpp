#include "ServeFans.h"

#include <exception>

#include "FanController.h"
#include "ForcedMark.h"
#include "Log.h"
#include "ServeTexts.h"

namespace orvtool {

using protocol::ReplyKind;

// The mark is made present or absent whatever this daemon did to it before (another
// process of root may have removed it).
void ForcedFans::mark(bool forced) {
    if (markPath_.empty() || forcedMarkPresent(markPath_) == forced) return;
    const int err = setForcedMark(markPath_, forced);
    if (err != 0 && !markFailed_) {
        log_.write(texts::kServeLogMarkFailed + std::to_string(err) +
                   texts::kServeLogMarkFailedTail + markPath_);
    }
    markFailed_ = err != 0;
}

void ForcedFans::before(const Request& request) {
    if (request.kind == Request::Kind::set || request.kind == Request::Kind::setUsage) mark(true);
}

void ForcedFans::after(const Request& request, const protocol::Reply& reply, int fanCount) {
    switch (request.kind) {
        case Request::Kind::set:
            if (request.fan >= 0 && request.fan < fanCount) forced_.insert(request.fan);
            break;
        case Request::Kind::setUsage:
            break;
        case Request::Kind::autoFan:
        case Request::Kind::autoAll:
            if (reply.kind == ReplyKind::autoAll) {
                forced_.clear();
            } else if (reply.kind == ReplyKind::autoFan && reply.fan >= 0) {
                forced_.erase(reply.fan);
            }
            break;
        default:
            return;
    }
    mark(!forced_.empty());
}

void ForcedFans::handedBack(int fan) {
    forced_.erase(fan);
    mark(!forced_.empty());
}

void ForcedFans::forcing(int fan) {
    forced_.insert(fan);
    mark(true);
}

std::set<int> ForcedFans::mayBeForced() const {
    // Only indices of fans (the hardware layer's int range) are ever inserted.
    std::set<int> fans;
    for (const std::int64_t fan : forced_)
        fans.insert(static_cast<int>(fan));
    return fans;
}

// When the daemon stops, a fan that fails to go back to automatic control must not keep
// the others forced: each fan is tried, whatever happened to the ones before it.
bool ForcedFans::restoreEveryFan(FanController& ctl) {
    bool all = true;
    try {
        // Fans that fail are passed over, the rest still restored.
        all = ctl.restoreEveryFan().failed.empty();
    } catch (const std::exception&) {
        // Only an error outside the SMC's (out of memory) lands here: each fan on its own.
        for (int fan = 0; fan < ctl.numberOfFans(); ++fan) {
            try {
                ctl.restoreAuto(fan);
            } catch (const std::exception&) {
                all = false;  // nothing more can be done for this fan; go on with the next
            }
        }
    }
    // A fan that did not go back keeps the mark, for the next start to try again.
    if (all) {
        forced_.clear();
        mark(false);
    }
    return all;
}

}  // namespace orvtool
