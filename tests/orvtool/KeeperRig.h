// Fake fans and a fake clock for the daemon's keeper of forced fans and its runner of
// curves and floors: two fans as the SMC holds them, temperatures set by the test, and the
// loop's ticks run a tenth of a second at a time.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "FanKeeper.h"
#include "Log.h"

namespace keeper_rig {

using namespace std::chrono_literals;
using orvtool::FanKeeper;
using orvtool::KeeperFans;
using Clock = FanKeeper::Clock;

// Two fans of 1200..6000 rpm as the SMC holds them; each can be told to ignore writes
// (the SMC took it back), to raise on a write or on a hand-back.
class FakeFans : public KeeperFans {
  public:
    struct Fan {
        bool forced = false;
        std::int64_t target = 0;
        bool ignoreWrites = false;
        bool setRaises = false;
        bool handBackRaises = false;
    };

    int count() override { return 2; }
    double minRPM(int) override { return 1200; }
    double maxRPM(int) override { return 6000; }
    std::int64_t set(int fan, std::int64_t rpm) override {
        sets.push_back(fan);
        Fan& f = fans.at(fan);
        if (f.setRaises) throw std::runtime_error("write failed");
        if (!f.ignoreWrites) {
            f.forced = true;
            f.target = rpm;
        }
        return rpm;
    }
    void handBack(int fan) override {
        handBacks.push_back(fan);
        Fan& f = fans.at(fan);
        if (f.handBackRaises) throw std::runtime_error("write failed");
        f.forced = false;
    }
    Hold holds(int fan, std::int64_t rpm) override {
        const Fan& f = fans.at(fan);
        if (!f.forced) return Hold::automatic;
        return f.target == rpm ? Hold::held : Hold::otherSpeed;
    }
    bool readsAutomatic(int fan) override { return !fans.at(fan).forced; }
    std::optional<double> hotter() override {
        ++temperatureReads;
        return celsius;
    }
    void reconnect() override { ++reconnects; }
    // A curve's source: `cpu` and `gpu` read `celsius`, a key its entry in `sensors`.
    std::optional<double> temperature(const std::string& entry) override {
        if (entry == "cpu" || entry == "gpu") return celsius;
        const auto it = sensors.find(entry);
        if (it == sensors.end()) return std::nullopt;
        return it->second;
    }
    bool hasSensor(const std::string& key) override { return sensors.count(key) != 0; }
    bool hasModeKey(int) override { return modeKeys; }

    // What the SMC does by itself: takes a fan back to automatic control.
    void takeBack(int fan) { fans.at(fan).forced = false; }

    std::map<int, Fan> fans{{0, {}}, {1, {}}};
    std::optional<double> celsius = 50;
    std::map<std::string, std::optional<double>> sensors{{"TC0P", 50}, {"TG0P", 45}};
    bool modeKeys = true;
    std::vector<int> sets;
    std::vector<int> handBacks;
    int temperatureReads = 0;
    int reconnects = 0;
};

class KeeperRig : public ::testing::Test {
  protected:
    FanKeeper keeper{fans, log, [this](int fan) { released.insert(fan); },
                     [this] { return slept; }};

    // Forces a fan through the keeper's books as an answered `set` does.
    void force(int fan, std::int64_t rpm) {
        fans.set(fan, rpm);
        keeper.forced(fan, rpm, 501, t0 + at);
        fans.sets.clear();
    }
    // Runs the loop's ticks from the current time to `until` (after t0), a tick a tenth of
    // a second, as the poll loop calls the keeper whenever it wakes.
    void runTo(std::chrono::milliseconds until) {
        while (at < until) {
            at += 100ms;
            keeper.tick(now());
            if (alsoTick) alsoTick(now());
        }
    }
    // Runs to `until` and returns the times (ms after t0) of the ticks that wrote a fan.
    std::vector<long> setTimesTo(std::chrono::milliseconds until) {
        std::vector<long> times;
        while (at < until) {
            const std::size_t before = fans.sets.size();
            runTo(at + 100ms);
            if (fans.sets.size() > before) times.push_back(static_cast<long>(at.count()));
        }
        return times;
    }
    Clock::time_point now() const { return t0 + at; }
    // What else the loop runs after the keeper on each tick.
    std::function<void(Clock::time_point)> alsoTick;

    FakeFans fans;
    orvtool::DaemonLog log;
    std::set<int> released;
    double slept = 0;
    const Clock::time_point t0 = Clock::now();
    std::chrono::milliseconds at{0};
};

}  // namespace keeper_rig
