#include "ServeLeases.h"

#include <cmath>
#include <exception>
#include <vector>

#include "FanController.h"
#include "Log.h"
#include "SMCError.h"
#include "ServeFans.h"
#include "ServeTexts.h"

namespace orvtool {

namespace {

std::string userText(long uid) {
    return texts::kServeLogLeaseUser + std::to_string(uid);
}

std::string errorText(const std::exception& e) {
    if (const auto* smc = dynamic_cast<const SMCError*>(&e)) return smc->description();
    return e.what();
}

// Whether a fan is forced at the speed its lease holder set (a forced fan without a
// readable target counts as unchanged).
bool stillAsSet(const std::vector<FanLiveInfo>& live, const LeaseTable::Fan& fan) {
    if (fan.fan < 0 || static_cast<std::size_t>(fan.fan) >= live.size()) return false;
    const FanLiveInfo& info = live[static_cast<std::size_t>(fan.fan)];
    if (!info.forced) return false;
    return !info.targetRPM || std::fabs(*info.targetRPM - static_cast<double>(fan.rpm)) < 1;
}

}  // namespace

void ServeLeases::log(const std::string& line) {
    log_.write(line);
}

int ServeLeases::graceSeconds() const {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::seconds>(table_.grace()).count());
}

protocol::Reply ServeLeases::hold(long uid, bool& held) {
    if (!held && table_.open(uid)) log(userText(uid) + texts::kServeLogLeaseKept);
    held = true;
    return protocol::Reply::hold(graceSeconds());
}

void ServeLeases::closed(long uid, Clock::time_point now) {
    if (table_.close(uid, now)) {
        log(userText(uid) + texts::kServeLogLeaseClosed + std::to_string(graceSeconds()) +
            texts::kServeLogLeaseClosedTail);
    }
}

void ServeLeases::answered(long uid, const protocol::Reply& reply) {
    using protocol::ReplyKind;
    // A fan the hardware layer took is within its int range.
    switch (reply.kind) {
        case ReplyKind::set:
            table_.forced(static_cast<int>(reply.fan), uid, reply.rpm);
            break;
        case ReplyKind::autoFan:
            table_.handedBack(static_cast<int>(reply.fan));
            break;
        case ReplyKind::autoAll:
            table_.allHandedBack();
            break;
        default:
            break;
    }
}

std::vector<ServeLeases::HandBack> ServeLeases::handBackDue(FanController& ctl,
                                                            Clock::time_point now) {
    std::vector<HandBack> backs;
    const std::vector<LeaseTable::Due> due = table_.takeDue(now);
    for (const LeaseTable::Due& user : due) {
        if (user.fans.empty()) continue;
        std::vector<FanLiveInfo> live;
        try {
            live = ctl.liveFans();
        } catch (const std::exception&) {
            // Readings do not raise; should one, every fan counts as changed.
        }
        std::string done;
        for (const LeaseTable::Fan& fan : user.fans) {
            const std::string fanText = std::to_string(fan.fan);
            if (!stillAsSet(live, fan)) {
                log(userText(user.uid) + texts::kServeLogLeaseFan + fanText +
                    texts::kServeLogLeaseChanged);
                backs.push_back({fan.fan, true});
                continue;
            }
            ++handedBack_;
            try {
                ctl.restoreAuto(fan.fan);
                fans_.handedBack(fan.fan);
                backs.push_back({fan.fan, true});
                if (!done.empty()) done += texts::kServeLogLeaseFanSeparator;
                done += fanText;
            } catch (const std::exception& e) {
                log(userText(user.uid) + texts::kServeLogLeaseFan + fanText +
                    texts::kServeLogLeaseFailed + errorText(e));
                backs.push_back({fan.fan, false});
            }
        }
        if (!done.empty()) {
            log(userText(user.uid) + texts::kServeLogLeaseDue + std::to_string(graceSeconds()) +
                texts::kServeLogLeaseDueFans + done + texts::kServeLogLeaseDueTail);
        }
    }
    return backs;
}

}  // namespace orvtool
