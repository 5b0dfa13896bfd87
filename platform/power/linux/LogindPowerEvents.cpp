// logind's sleep announcements on the system bus, through sd-bus: the PrepareForSleep signal
// of org.freedesktop.login1.Manager, and a delay inhibitor so that a sleep waits until the
// daemon has handed the fans back. Every bus call is asynchronous; the daemon's poll loop
// drives the connection, so nothing here ever waits for the bus.
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <utility>

#include "PowerEvents.h"
#include "SleptTime.h"

namespace power {
namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kBusDriver = "org.freedesktop.DBus";
constexpr const char* kInhibitWhy = "先把风扇交还系统控制";
// An Inhibit that takes longer than this is given up: the sleep then goes on without a delay.
constexpr std::uint64_t kInhibitTimeoutUsec = 2'000'000;

class LogindPowerEvents final : public PowerEvents {
  public:
    ~LogindPowerEvents() override {
        inhibitCall_ = sd_bus_slot_unref(inhibitCall_);
        releaseDelay();
        // Closed without a flush, which could wait for the bus.
        sd_bus_close_unref(bus_);
    }

    // Connects and sends the subscriptions and the first Inhibit; their answers come later,
    // through take(). 0 or a negative errno, with `step` the one that failed.
    int open(PowerEventsFailure::Step& step) {
        step = PowerEventsFailure::bus;
        int r = sd_bus_open_system(&bus_);
        if (r < 0) return r;
        step = PowerEventsFailure::subscribe;
        // The owner of logind's name first, so that its signals can be told from forgeries.
        r = sd_bus_match_signal_async(bus_, nullptr, kBusDriver, "/org/freedesktop/DBus",
                                      kBusDriver, "NameOwnerChanged", &onOwnerChanged, nullptr,
                                      this);
        if (r < 0) return r;
        r = sd_bus_call_method_async(bus_, nullptr, kBusDriver, "/org/freedesktop/DBus", kBusDriver,
                                     "GetNameOwner", &onNameOwner, this, "s", kLogind);
        if (r < 0) return r;
        r = sd_bus_match_signal_async(bus_, nullptr, kLogind, kLogindPath, kManager,
                                      "PrepareForSleep", &onPrepareForSleep, &onMatchInstalled,
                                      this);
        if (r < 0) return r;
        return takeDelay();
    }

    int fd() const override { return gone_ ? -1 : sd_bus_get_fd(bus_); }

    short pollEvents() const override {
        if (gone_) return 0;
        const int events = sd_bus_get_events(bus_);
        return events < 0 ? 0 : static_cast<short>(events);
    }

    std::optional<Clock::time_point> nextDue() const override {
        if (gone_) return std::nullopt;
        std::uint64_t usec = 0;
        if (sd_bus_get_timeout(bus_, &usec) < 0 || usec == UINT64_MAX) return std::nullopt;
        // sd-bus counts in CLOCK_MONOTONIC, the clock steady_clock reads on Linux.
        return Clock::time_point(std::chrono::microseconds(usec));
    }

    std::vector<PowerEvent> take() override {
        while (!gone_) {
            const int r = sd_bus_process(bus_, nullptr);
            if (r < 0 || refused_) {
                // The bus is gone (closed, reset, refused): from now on the source stays
                // quiet and reports nothing more; the clocks still find a wake.
                lose();
            } else if (r == 0) {
                break;
            }
        }
        return std::exchange(events_, {});
    }

    void readyForSleep() override { releaseDelay(); }

    bool delaysSleep() const override { return inhibitor_ >= 0; }

  private:
    static int onPrepareForSleep(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<LogindPowerEvents*>(userdata);
        const char* sender = sd_bus_message_get_sender(m);
        // Only logind itself announces a sleep: a peer that sends the same signal (to
        // everyone, or to this connection alone) is not listened to.
        if (sender == nullptr || self->owner_.empty() || self->owner_ != sender) return 0;
        int starting = 0;
        if (sd_bus_message_read(m, "b", &starting) < 0) return 0;
        if (starting) {
            self->events_.push_back(PowerEvent::willSleep);
        } else {
            self->events_.push_back(PowerEvent::hasWoken);
            if (self->inhibitor_ < 0) self->takeDelay();
        }
        return 0;
    }

    static int onMatchInstalled(sd_bus_message* m, void* userdata, sd_bus_error*) {
        // A bus that refuses the subscription gives no sleep announcements: the same as no
        // bus at all.
        if (sd_bus_message_is_method_error(m, nullptr))
            static_cast<LogindPowerEvents*>(userdata)->refused_ = true;
        return 0;
    }

    static int onNameOwner(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<LogindPowerEvents*>(userdata);
        const char* owner = nullptr;
        // An error is "nobody owns the name (yet)": NameOwnerChanged tells when it comes.
        if (!sd_bus_message_is_method_error(m, nullptr) &&
            sd_bus_message_read(m, "s", &owner) >= 0 && owner != nullptr && self->owner_.empty())
            self->owner_ = owner;
        return 0;
    }

    static int onOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<LogindPowerEvents*>(userdata);
        const char* sender = sd_bus_message_get_sender(m);
        if (sender == nullptr || std::string(sender) != kBusDriver) return 0;
        const char *name = nullptr, *before = nullptr, *after = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0 || name == nullptr ||
            std::string(name) != kLogind)
            return 0;
        self->owner_ = after != nullptr ? after : "";
        // A logind that came back knows nothing of the old delay: take one from it.
        self->releaseDelay();
        self->inhibitCall_ = sd_bus_slot_unref(self->inhibitCall_);
        if (!self->owner_.empty()) self->takeDelay();
        return 0;
    }

    static int onInhibit(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<LogindPowerEvents*>(userdata);
        self->inhibitCall_ = sd_bus_slot_unref(self->inhibitCall_);
        // A refusal or a timeout leaves the next sleep undelayed; the next wake tries again.
        if (sd_bus_message_is_method_error(m, nullptr)) return 0;
        int fd = -1;
        if (sd_bus_message_read(m, "h", &fd) < 0 || fd < 0) return 0;
        // The message owns its descriptor: keep a copy of our own.
        const int kept = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        if (kept < 0) return 0;
        self->releaseDelay();
        self->inhibitor_ = kept;
        return 0;
    }

    int takeDelay() {
        if (gone_ || inhibitCall_ != nullptr) return 0;
        sd_bus_message* call = nullptr;
        int r =
            sd_bus_message_new_method_call(bus_, &call, kLogind, kLogindPath, kManager, "Inhibit");
        if (r >= 0)
            r = sd_bus_message_append(call, "ssss", "sleep", "Orvane", kInhibitWhy, "delay");
        if (r >= 0)
            r = sd_bus_call_async(bus_, &inhibitCall_, call, &onInhibit, this, kInhibitTimeoutUsec);
        sd_bus_message_unref(call);
        return r < 0 ? r : 0;
    }

    void releaseDelay() {
        if (inhibitor_ >= 0) ::close(inhibitor_);
        inhibitor_ = -1;
    }

    void lose() {
        gone_ = true;
        inhibitCall_ = sd_bus_slot_unref(inhibitCall_);
        releaseDelay();
        sd_bus_close(bus_);
    }

    sd_bus* bus_ = nullptr;
    sd_bus_slot* inhibitCall_ = nullptr;
    int inhibitor_ = -1;
    bool gone_ = false;
    bool refused_ = false;  // the bus refused the subscription (found inside a callback)
    std::string owner_;     // unique name of logind's connection; empty while unknown
    std::vector<PowerEvent> events_;
};

double secondsOf(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

std::unique_ptr<PowerEvents> openPowerEvents(PowerEventsFailure& failure) {
    auto source = std::make_unique<LogindPowerEvents>();
    PowerEventsFailure::Step step = PowerEventsFailure::bus;
    const int r = source->open(step);
    if (r < 0) {
        failure = {step, -r};
        return nullptr;
    }
    return source;
}

double sleptSeconds() {
    // The monotonic clock read on both sides of the boot-time one: their midpoint is the
    // monotonic time of the boot-time reading.
    const double before = secondsOf(CLOCK_MONOTONIC);
    const double boot = secondsOf(CLOCK_BOOTTIME);
    const double after = secondsOf(CLOCK_MONOTONIC);
    return risingSlept(boot - (before + after) / 2);
}

}  // namespace power
