// Bounded waits: a point in time a wait gives up at, and "poll until a condition holds".
// Every wait in the tests is a safety net so that a broken program fails a test instead of
// hanging it; nothing is asserted about how long anything takes.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

// The limit every wait in the tests uses unless it says otherwise.
inline constexpr std::chrono::milliseconds kWaitLimit{10'000};

class Deadline {
  public:
    explicit Deadline(std::chrono::milliseconds limit = kWaitLimit)
        : end_(std::chrono::steady_clock::now() + limit) {}

    bool passed() const { return std::chrono::steady_clock::now() >= end_; }
    // Milliseconds left, never negative: a timeout for poll().
    int leftMs() const {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end_ - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<long long>(0, left.count()));
    }

  private:
    std::chrono::steady_clock::time_point end_;
};

// Calls `condition` every `step` until it returns true (true) or the limit passes (false).
template <class Condition>
bool waitUntil(Condition&& condition, std::chrono::milliseconds limit = kWaitLimit,
               std::chrono::milliseconds step = std::chrono::milliseconds(5)) {
    const Deadline deadline(limit);
    for (;;) {
        if (condition()) return true;
        if (deadline.passed()) return false;
        std::this_thread::sleep_for(step);
    }
}
