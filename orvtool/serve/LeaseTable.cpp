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

std::optional<long> LeaseTable::holderOf(int fan) const {
    const auto it = covered_.find(fan);
    if (it == covered_.end()) return std::nullopt;
    return it->second.uid;
}

std::vector<LeaseTable::User> LeaseTable::users() const {
    std::map<long, User> users;
    const auto user = [&users](long uid) -> User& {
        return users.try_emplace(uid, User{uid, 0, {}, std::nullopt}).first->second;
    };
    for (const auto& [uid, open] : leases_)
        user(uid).open = open;
    for (const auto& [uid, end] : graceEnds_)
        user(uid).graceEnd = end;
    std::vector<User> all;
    for (auto& [uid, u] : users) {
        u.fans = coveredBy(uid);
        all.push_back(std::move(u));
    }
    return all;
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
