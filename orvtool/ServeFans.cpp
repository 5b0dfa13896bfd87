#include "ServeFans.h"

#include <exception>

#include "ControlProtocol.h"
#include "FanController.h"
#include "ForcedMark.h"
#include "Log.h"
#include "Texts.h"

namespace orvtool {

namespace {

// The mark of forced fans this daemon keeps; empty (servers inside tests) keeps none.
std::string gMarkPath;
bool gMarkFailed = false;

// Makes the mark present or absent, whatever this daemon did to it before (another process
// of root may have removed it), and logs the first of a run of failures.
void markForced(bool forced) {
    if (gMarkPath.empty() || forcedMarkPresent(gMarkPath) == forced) return;
    const int err = setForcedMark(gMarkPath, forced);
    if (err != 0 && !gMarkFailed) {
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

// The first word of a request.
std::string_view command(std::string_view request) {
    return request.substr(0, request.find(' '));
}

}  // namespace

void keepForcedMark(const std::string& path) {
    gMarkPath = path;
}

void markBefore(const std::string& request) {
    if (command(request) == protocol::kSet) markForced(true);
}

void markAfter(const std::string& request, FanController& ctl) {
    const std::string_view word = command(request);
    if (!gMarkPath.empty() && (word == protocol::kSet || word == protocol::kAuto))
        markForced(anyFanForced(ctl));
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
