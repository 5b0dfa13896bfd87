#include "CurveFollower.h"

namespace orvtool {

void CurveFollower::reading(double celsius, Clock::time_point now) {
    readings_.emplace_back(now, celsius);
}

void CurveFollower::forget() {
    readings_.clear();
    readAt_.reset();
}

std::optional<double> CurveFollower::speed(Clock::time_point now) {
    while (!readings_.empty() && now - readings_.front().first >= kWindow)
        readings_.pop_front();
    if (readings_.empty()) return std::nullopt;
    double sum = 0;
    for (const auto& [at, celsius] : readings_)
        sum += celsius;
    const double average = sum / static_cast<double>(readings_.size());
    if (!readAt_ || average > *readAt_ || average <= *readAt_ - kFallAfter) readAt_ = average;
    return protocol::curveSpeed(points_, *readAt_);
}

}  // namespace orvtool
