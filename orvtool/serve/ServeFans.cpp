#include "ServeFans.h"

#include <cstdint>
#include <exception>
#include <set>
#include <string_view>
#include <vector>

#include "ControlProtocol.h"
#include "FanController.h"
#include "ForcedMark.h"
#include "Format.h"
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

// The fans this daemon may have forced: those of every `set` it ran (also one that failed
// after its first write), until an `auto` of that fan or of all fans succeeded. Kept from
// the replies, without asking the SMC again, so that a failing SMC read never clears it.
std::set<std::int64_t> gForced;

std::vector<std::string_view> words(std::string_view request) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < request.size()) {
        const std::size_t space = request.find(' ', i);
        const std::size_t end = space == std::string_view::npos ? request.size() : space;
        if (end > i) out.push_back(request.substr(i, end - i));
        i = end + 1;
    }
    return out;
}

}  // namespace

void keepForcedMark(const std::string& path) {
    gMarkPath = path;
}

void markBefore(const std::string& request) {
    const auto w = words(request);
    if (!w.empty() && w.front() == protocol::kSet) markForced(true);
}

void markAfter(const std::string& request, const std::string& reply, FanController& ctl) {
    const auto w = words(request);
    if (w.empty()) return;
    // The fan named by the request; -1 for none (every fan index that counts is >= 0).
    const std::int64_t fan = w.size() >= 2 ? parseInteger(w[1]).value_or(-1) : -1;
    if (w.front() == protocol::kSet) {
        if (fan >= 0 && fan < ctl.numberOfFans() && reply != protocol::kReplySetUsage)
            gForced.insert(fan);
    } else if (w.front() == protocol::kAuto) {
        if (reply == protocol::kReplyAutoAll) {
            gForced.clear();
        } else if (fan >= 0 && reply.rfind(protocol::kReplyAutoFan, 0) == 0) {
            gForced.erase(fan);
        }
    } else {
        return;
    }
    markForced(!gForced.empty());
}

void markHandedBack(int fan) {
    gForced.erase(fan);
    markForced(!gForced.empty());
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
    if (all) {
        gForced.clear();
        markForced(false);
    }
    return all;
}

}  // namespace orvtool
