// The leases of the daemon's clients on the fans they force.
//
// An application holds a lease by keeping one connection open with `hold`. While a user
// holds a lease, every fan forced through any connection of that user is covered by it.
// When the user's last lease ends (the application was killed, crashed or logged out),
// the covered fans wait a grace period: a new lease of the same user within it keeps them
// as they are (the application restarted), otherwise they are due to be handed back.
// Fans forced by a user without an open lease (scripts) are covered by nothing, and a fan
// forced again by anyone passes to that forcing. The table only keeps the books: the
// daemon forces, hands back and logs.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace orvtool {

class LeaseTable {
  public:
    using Clock = std::chrono::steady_clock;

    // A fan covered by a lease, with the speed it was forced at.
    struct Fan {
        int fan;
        std::int64_t rpm;
        bool operator==(const Fan&) const = default;
    };
    // A user whose grace has passed, and the fans to hand back.
    struct Due {
        long uid;
        std::vector<Fan> fans;
    };

    explicit LeaseTable(std::chrono::milliseconds grace) : grace_(grace) {}

    std::chrono::milliseconds grace() const { return grace_; }

    // A connection of `uid` takes a lease; true when that ended a grace period of the user,
    // whose fans then stay covered as they are.
    bool open(long uid);
    // A lease of `uid` ends. When it was the user's last and the user covers fans, their
    // grace starts now; true in that case.
    bool close(long uid, Clock::time_point now);
    // Whether `uid` holds a lease now.
    bool holds(long uid) const { return leases_.count(uid) != 0; }

    // A fan was forced at `rpm` through a connection of `uid`: covered by that user's lease
    // when the user holds one, else by none.
    void forced(int fan, long uid, std::int64_t rpm);
    // A fan, or every fan, went back to automatic control.
    void handedBack(int fan) { covered_.erase(fan); }
    void allHandedBack() { covered_.clear(); }

    // The fans `uid` covers, in index order.
    std::vector<Fan> coveredBy(long uid) const;
    // The lease holder covering `fan`, if any.
    std::optional<long> holderOf(int fan) const;

    // A user with open leases or in a grace period, as the daemon's status reports it.
    struct User {
        long uid;
        int open;                                   // open leases
        std::vector<Fan> fans;                      // covered, in index order
        std::optional<Clock::time_point> graceEnd;  // in a grace period: when it ends
    };
    // Every such user, by uid.
    std::vector<User> users() const;

    // The users whose grace has passed by `now`, with their fans; they cover nothing after.
    std::vector<Due> takeDue(Clock::time_point now);
    // When the next grace ends; none while no grace runs.
    std::optional<Clock::time_point> nextDue() const;

  private:
    struct Cover {
        long uid;
        std::int64_t rpm;
    };

    std::chrono::milliseconds grace_;
    std::map<long, int> leases_;                   // open leases per user
    std::map<int, Cover> covered_;                 // fan -> the lease holder that forced it
    std::map<long, Clock::time_point> graceEnds_;  // users in their grace period
};

}  // namespace orvtool
