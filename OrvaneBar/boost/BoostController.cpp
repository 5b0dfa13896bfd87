#include "BoostController.h"

#include <QSettings>
#include <algorithm>
#include <cmath>
#include <exception>

#include "ControlProtocol.h"
#include "FanController.h"
#include "Formatting.h"
#include "SettingsKeys.h"
#include "TempBoost.h"

namespace {

double storedDouble(const char* key) {
    return QSettings().value(key).toDouble();
}

// A temperature reading that is a number; anything else counts as missing.
std::optional<double> usable(std::optional<double> reading) {
    if (reading && std::isfinite(*reading)) return reading;
    return std::nullopt;
}

}  // namespace

// The live readings say whether each fan is forced and at what target, on both families:
// for a fan forced through its minimum the target is that minimum. Without a target the
// current speed is kept (0 when unreadable).
BoostFans BoostFans::of(FanController& ctl) {
    BoostFans fans;
    fans.count = [&ctl] { return ctl.numberOfFans(); };
    fans.record = [&ctl] {
        std::vector<FanLiveInfo> live;
        try {
            live = ctl.liveFans();
        } catch (const std::exception&) {
        }
        std::vector<PreBoostState> states(
            static_cast<std::size_t>(std::max(ctl.numberOfFans(), 0)));
        for (std::size_t i = 0; i < states.size() && i < live.size(); ++i) {
            states[i].forced = live[i].forced;
            states[i].targetRPM = truncateRPM(live[i].targetRPM.value_or(live[i].currentRPM));
        }
        return states;
    };
    fans.maxRPM = [&ctl](int fan) {
        try {
            return ctl.maxRPM(fan);
        } catch (const std::exception&) {
            return 0.0;
        }
    };
    return fans;
}

bool BoostController::enabled() {
    return QSettings().value(SettingsKeys::tempBoostEnabled).toBool();
}

bool BoostController::toggle() {
    QSettings().setValue(SettingsKeys::tempBoostEnabled, !enabled());
    return enabled();
}

double BoostController::startTemp() {
    return tempBoostStartTemp(storedDouble(SettingsKeys::tempBoostStartTemp),
                              storedDouble(SettingsKeys::tempBoostThreshold));
}

double BoostController::fullTemp() {
    return tempBoostFullTemp(storedDouble(SettingsKeys::tempBoostThreshold));
}

std::string BoostController::menuTitle() {
    return tempBoostMenuTitle(storedDouble(SettingsKeys::tempBoostStartTemp),
                              storedDouble(SettingsKeys::tempBoostThreshold));
}

void BoostController::handle(std::optional<double> cpu, std::optional<double> gpu) {
    if (!enabled()) {
        if (tempBoostActive) end();
        return;
    }
    cpu = usable(cpu);
    gpu = usable(gpu);
    if (!cpu && !gpu) return;  // no decision this tick; an engaged boost keeps its step
    const double t = cpu && gpu ? std::max(*cpu, *gpu) : cpu ? *cpu : *gpu;

    const double start = startTemp();
    const double full = fullTemp();
    if (t < start) {
        if (tempBoostActive) end();
        return;
    }

    const int step = TempBoost::step(t, start, full);
    if (!tempBoostActive) {
        preBoostStates = fans_.record();
        tempBoostActive = true;
    }
    if (step == currentStep) return;
    // The state changes before anything is sent: a failed write shows an alert, whose
    // event loop runs further ticks, and those must find this step already taken.
    currentStep = step;
    const int count = fans_.count();
    for (int i = 0; i < count; ++i) {
        if (!daemonRuns(i))
            write_(protocol::setRequest(i, TempBoost::stepRPM(step, fans_.maxRPM(i))));
    }
}

void BoostController::releaseHold() {
    tempBoostActive = false;
    preBoostStates.reset();
    currentStep = -1;
}

void BoostController::end() {
    // Cleared first, for the same reason as the step in handle.
    const std::optional<std::vector<PreBoostState>> states = std::move(preBoostStates);
    releaseHold();
    restore(states);
}

void BoostController::restorePreBoostStates() {
    restore(preBoostStates);
}

void BoostController::restore(const std::optional<std::vector<PreBoostState>>& states) {
    const int count = fans_.count();
    bool anyRunByDaemon = false;
    for (int i = 0; i < count; ++i)
        anyRunByDaemon = anyRunByDaemon || daemonRuns(i);
    const bool fit = states && states->size() == static_cast<std::size_t>(count);
    if (!fit && !anyRunByDaemon) {
        write_(protocol::kAutoAllRequest);
        return;
    }
    for (int i = 0; i < count; ++i) {
        if (daemonRuns(i)) continue;
        const PreBoostState* state = fit ? &(*states)[static_cast<std::size_t>(i)] : nullptr;
        write_(state != nullptr && state->forced ? protocol::setRequest(i, state->targetRPM)
                                                 : protocol::autoRequest(i));
    }
}
