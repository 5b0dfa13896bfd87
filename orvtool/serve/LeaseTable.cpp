#include "LeaseTable.h"

#include <algorithm>

namespace orvtool {

bool LeaseTable::open(long uid) {
    ++leases_[uid];
    return graceEnds_.erase(uid) != 0;
}

bool LeaseTable::close(long uid, Clock::time_point now) {
    const auto lease = leases_.find(uid);
    if (lease == leases_.end()) return false;
    if (--lease->second > 0) return false;
    leases_.erase(lease);
    if (coveredBy(uid).empty()) return false;
    graceEnds_[uid] = now + grace_;
    return true;
}

void LeaseTable::forced(int fan, long uid, std::int64_t rpm) {
    if (holds(uid)) {
        covered_[fan] = Cover{uid, rpm};
    } else {
        covered_.erase(fan);
    }
}

std::vector<LeaseTable::Fan> LeaseTable::coveredBy(long uid) const {
    std::vector<Fan> fans;
    for (const auto& [fan, cover] : covered_)
        if (cover.uid == uid) fans.push_back({fan, cover.rpm});
    return fans;
}

std::vector<LeaseTable::Due> LeaseTable::takeDue(Clock::time_point now) {
    std::vector<Due> due;
    for (auto it = graceEnds_.begin(); it != graceEnds_.end();) {
        if (it->second > now) {
            ++it;
            continue;
        }
        const long uid = it->first;
        due.push_back({uid, coveredBy(uid)});
        std::erase_if(covered_, [uid](const auto& entry) { return entry.second.uid == uid; });
        it = graceEnds_.erase(it);
    }
    return due;
}

std::optional<LeaseTable::Clock::time_point> LeaseTable::nextDue() const {
    if (graceEnds_.empty()) return std::nullopt;
    return std::min_element(graceEnds_.begin(), graceEnds_.end(),
                            [](const auto& a, const auto& b) { return a.second < b.second; })
        ->second;
}

}  // namespace orvtool
