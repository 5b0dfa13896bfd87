#include "ServeFans.h"

#include <exception>

#include "FanController.h"
#include "ForcedMark.h"
#include "Log.h"
#include "Texts.h"

namespace orvtool {

namespace {

// The mark of forced fans this daemon keeps; empty (servers inside tests) keeps none.
std::string gMarkPath;
bool gMarked = false;
bool gMarkFailed = false;

void markForced(bool forced) {
    if (gMarkPath.empty() || forced == gMarked) return;
    const int err = setForcedMark(gMarkPath, forced);
    if (err == 0) {
        gMarked = forced;
    } else if (!gMarkFailed) {
        daemonLog().write(texts::kServeLogMarkFailed + std::to_string(err) +
                          texts::kServeLogMarkFailedTail + gMarkPath);
    }
    gMarkFailed = err != 0;
}

bool anyFanForced(FanController& ctl) {
    for (int fan = 0; fan < ctl.numberOfFans(); ++fan)
        if (ctl.isForced(fan)) return true;
    return false;
}

}  // namespace

void keepForcedMark(const std::string& path, bool present) {
    gMarkPath = path;
    gMarked = present;
}

void markBefore(const std::string& request) {
    if (request.rfind("set ", 0) == 0) markForced(true);
}

void markAfter(const std::string& reply, FanController& ctl) {
    if (!gMarked) return;
    if (reply == texts::kReplyAutoAll ||
        (reply.rfind(texts::kReplyAutoFan, 0) == 0 && !anyFanForced(ctl)))
        markForced(false);
}

// When the daemon stops, a fan that fails to go back to automatic control must not keep
// the others forced: each fan is tried, whatever happened to the ones before it.
bool restoreEveryFan(FanController& ctl) {
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
    if (all) markForced(false);
    return all;
}

}  // namespace orvtool
