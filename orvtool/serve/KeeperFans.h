// What the daemon's keeper of forced fans (FanKeeper.h) asks of the fans: the daemon's
// FanController through ControllerFans, or a test's stand-in. Each call may raise
// (SMCError for the SMC's failures).
#pragma once

#include <cstdint>
#include <optional>

#include "FanController.h"

namespace orvtool {

class KeeperFans {
  public:
    using Hold = FanController::Hold;

    virtual ~KeeperFans() = default;

    virtual int count() = 0;
    virtual double minRPM(int fan) = 0;
    virtual double maxRPM(int fan) = 0;
    // Forces the fan at `rpm` (clamped as setFanRPM clamps); the speed written.
    virtual std::int64_t set(int fan, std::int64_t rpm) = 0;
    virtual void handBack(int fan) = 0;
    virtual Hold holds(int fan, std::int64_t rpm) = 0;
    virtual bool readsAutomatic(int fan) = 0;
    // The hotter of the CPU and GPU temperatures; none when neither can be read.
    virtual std::optional<double> hotter() = 0;
    virtual void reconnect() = 0;
};

class ControllerFans : public KeeperFans {
  public:
    explicit ControllerFans(FanController& ctl) : ctl_(ctl) {}

    int count() override { return ctl_.numberOfFans(); }
    double minRPM(int fan) override { return ctl_.minRPM(fan); }
    double maxRPM(int fan) override { return ctl_.maxRPM(fan); }
    std::int64_t set(int fan, std::int64_t rpm) override { return ctl_.setFanRPM(fan, rpm); }
    void handBack(int fan) override { ctl_.restoreAuto(fan); }
    Hold holds(int fan, std::int64_t rpm) override { return ctl_.holds(fan, rpm); }
    bool readsAutomatic(int fan) override { return ctl_.readsAutomatic(fan); }
    std::optional<double> hotter() override;
    void reconnect() override { ctl_.reconnect(); }

  private:
    FanController& ctl_;
};

}  // namespace orvtool
