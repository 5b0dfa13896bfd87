// The temperature boost's state machine: on every refresh tick the hotter of the CPU and
// GPU temperatures picks one of four steps between the start and the full-speed
// temperature, which drive every fan at 40, 60, 80 or 100 % of its maximum (but those the
// control daemon runs by a curve or a floor, which it never writes). Before the
// first boost write it records, per fan, whether the fan was forced and at what target,
// and gives exactly that back when the temperature falls below the start or the boost is
// switched off. Its three settings are read from the user defaults at every tick.
//
// It never writes to the SMC: every command goes to the write path it is given. Main
// thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class FanController;

// A fan's state recorded before the temperature boost took it over.
struct PreBoostState {
    bool forced = false;
    std::int64_t targetRPM = 0;
};

// What the boost reads from the fans.
struct BoostFans {
    std::function<int()> count;
    // Every fan as it stands, in fan order: forced, and its target (else its current
    // speed, else 0).
    std::function<std::vector<PreBoostState>()> record;
    // A fan's maximum speed; 0 when it cannot be read.
    std::function<double(int fan)> maxRPM;
    // Whether the control daemon runs the fan by itself (a curve or a floor): the boost
    // leaves such a fan alone. Empty: it runs none.
    std::function<bool(int fan)> daemonRuns;

    // The readings of the application's fan controller.
    static BoostFans of(FanController& ctl);
};

class BoostController {
  public:
    using Write = std::function<void(const std::string& command)>;

    BoostController(BoostFans fans, Write write)
        : fans_(std::move(fans)), write_(std::move(write)) {}

    // One evaluation with fresh readings; a reading that is missing or not a number does not
    // count, and with neither nothing changes (an engaged boost keeps its step).
    void handle(std::optional<double> cpu, std::optional<double> gpu);
    // A user action on a fan row takes the fans back from the boost, without restoring.
    void releaseHold();
    // Sends the commands that give every fan its recorded state back: "auto" alone when
    // the records are missing or do not fit the fans (then "auto <fan>" for each fan when
    // the daemon runs some fan by itself). Fans the daemon runs get nothing.
    void restorePreBoostStates();

    // The settings in effect, and the title of the boost's menu entry.
    static bool enabled();
    // Stores the negation of the stored switch; returns the value now stored.
    static bool toggle();
    static double startTemp();
    static double fullTemp();
    static std::string menuTitle();

    bool tempBoostActive = false;
    std::optional<std::vector<PreBoostState>> preBoostStates;
    std::int64_t currentStep = -1;

  private:
    bool daemonRuns(int fan) const { return fans_.daemonRuns && fans_.daemonRuns(fan); }
    // Ends an engaged boost: clears its state, then restores the recorded fan states.
    void end();
    void restore(const std::optional<std::vector<PreBoostState>>& states);

    BoostFans fans_;
    Write write_;
};
