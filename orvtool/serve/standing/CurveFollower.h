// The speed a curve asks for from its source's readings: the curve is read at the average of
// the last 10 s of readings; a rising average is followed at once, a falling one only once it
// is 3 °C below the temperature the curve was last read at, so that a temperature wandering
// around a point does not move the fan up and down.
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <vector>

#include "Curves.h"

namespace orvtool {

class CurveFollower {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kWindow = std::chrono::seconds(10);
    static constexpr double kFallAfter = 3;

    explicit CurveFollower(std::vector<protocol::CurvePoint> points) : points_(std::move(points)) {}

    // A reading of the source at `now`.
    void reading(double celsius, Clock::time_point now);
    // The readings are no longer the machine's (after a sleep): the next ones start anew.
    void forget();

    // The speed the curve asks for at `now`; none without a reading in the last 10 s.
    std::optional<double> speed(Clock::time_point now);
    // The temperature the curve was last read at.
    std::optional<double> readAt() const { return readAt_; }

  private:
    std::vector<protocol::CurvePoint> points_;
    std::deque<std::pair<Clock::time_point, double>> readings_;
    std::optional<double> readAt_;
};

}  // namespace orvtool
