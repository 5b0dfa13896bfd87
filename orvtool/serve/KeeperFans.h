// What the daemon's keeper of forced fans (FanKeeper.h) and its runner of curves and floors
// (standing/StandingFans.h) ask of the fans: the daemon's FanController through
// ControllerFans, or a test's stand-in. Each call may raise (SMCError for the SMC's
// failures).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

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
    // A curve's source entry: `cpu`, `gpu` or a sensor key; none when it cannot be read.
    virtual std::optional<double> temperature(const std::string& entry) = 0;
    // Whether the SMC has a temperature sensor of that key.
    virtual bool hasSensor(const std::string& key) = 0;
    virtual bool hasModeKey(int fan) = 0;
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
    std::optional<double> temperature(const std::string& entry) override;
    bool hasSensor(const std::string& key) override;
    bool hasModeKey(int fan) override { return ctl_.hasModeKey(fan); }

  private:
    FanController& ctl_;
};

}  // namespace orvtool
