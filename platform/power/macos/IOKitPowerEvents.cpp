// IOKit's system power notifications. The notification port delivers on a dispatch queue of
// its own; its callback only answers what needs no decision (may the system sleep: yes) and
// writes one byte a message to a pipe, which the daemon's poll loop reads through take().
// The loop answers a will-sleep itself, through readyForSleep(), once the fans are handed back.
#include <IOKit/IOKitLib.h>
#include <IOKit/IOMessage.h>
#include <IOKit/pwr_mgt/IOPMLib.h>
#include <dispatch/dispatch.h>
#include <fcntl.h>
#include <mach/mach_time.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "PowerEvents.h"
#include "SleptTime.h"

namespace power {
namespace {

// What the callback writes to the pipe.
constexpr char kWillSleep = 's';
constexpr char kHasPoweredOn = 'w';

class IOKitPowerEvents final : public PowerEvents {
  public:
    ~IOKitPowerEvents() override {
        if (notifier_ != 0) IODeregisterForSystemPower(&notifier_);
        if (rootPort_ != 0) IOServiceClose(rootPort_);
        if (port_ != nullptr) IONotificationPortDestroy(port_);
        if (queue_ != nullptr) {
            // A callback already on the queue finishes before the pipe is closed.
            dispatch_sync_f(queue_, nullptr, [](void*) {});
            dispatch_release(queue_);
        }
        for (int fd : pipe_) {
            if (fd >= 0) ::close(fd);
        }
    }

    // 0 or an errno, with `step` the one that failed.
    int open(PowerEventsFailure::Step& step) {
        step = PowerEventsFailure::bus;
        if (::pipe(pipe_) != 0) return errno;
        for (int fd : pipe_) {
            if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 ||
                ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0)
                return errno;
        }
        step = PowerEventsFailure::subscribe;
        rootPort_ = IORegisterForSystemPower(this, &port_, &onMessage, &notifier_);
        if (rootPort_ == 0) return ENODEV;
        queue_ = dispatch_queue_create("orvane.power", DISPATCH_QUEUE_SERIAL);
        if (queue_ == nullptr) return ENOMEM;
        IONotificationPortSetDispatchQueue(port_, queue_);
        return 0;
    }

    int fd() const override { return pipe_[0]; }
    short pollEvents() const override { return POLLIN; }
    std::optional<Clock::time_point> nextDue() const override { return std::nullopt; }

    std::vector<PowerEvent> take() override {
        std::vector<PowerEvent> events;
        char bytes[64];
        ssize_t n;
        while ((n = ::read(pipe_[0], bytes, sizeof bytes)) > 0) {
            for (ssize_t i = 0; i < n; ++i)
                events.push_back(bytes[i] == kWillSleep ? PowerEvent::willSleep
                                                        : PowerEvent::hasWoken);
        }
        return events;
    }

    void readyForSleep() override {
        const intptr_t id = pending_.exchange(0);
        if (id != 0) IOAllowPowerChange(rootPort_, id);
    }

    bool delaysSleep() const override { return true; }

  private:
    static void onMessage(void* refcon, io_service_t, uint32_t type, void* argument) {
        auto* self = static_cast<IOKitPowerEvents*>(refcon);
        const auto id = reinterpret_cast<intptr_t>(argument);
        switch (type) {
            case kIOMessageCanSystemSleep:
                // Idle sleep may go ahead: the fans are handed back at the will-sleep.
                IOAllowPowerChange(self->rootPort_, id);
                break;
            case kIOMessageSystemWillSleep:
                self->pending_.store(id);
                self->signal(kWillSleep);
                break;
            case kIOMessageSystemHasPoweredOn:
                self->signal(kHasPoweredOn);
                break;
            default:
                break;
        }
    }

    void signal(char byte) {
        // A full pipe means the loop has a hundred unread messages: one more changes nothing.
        (void)!::write(pipe_[1], &byte, 1);
    }

    int pipe_[2] = {-1, -1};
    IONotificationPortRef port_ = nullptr;
    io_connect_t rootPort_ = 0;
    io_object_t notifier_ = 0;
    dispatch_queue_t queue_ = nullptr;
    // The will-sleep's notification id, until readyForSleep answers it.
    std::atomic<intptr_t> pending_{0};
};

}  // namespace

std::unique_ptr<PowerEvents> openPowerEvents(PowerEventsFailure& failure) {
    auto source = std::make_unique<IOKitPowerEvents>();
    PowerEventsFailure::Step step = PowerEventsFailure::bus;
    if (const int err = source->open(step); err != 0) {
        failure = {step, err};
        return nullptr;
    }
    return source;
}

double sleptSeconds() {
    static const mach_timebase_info_data_t timebase = [] {
        mach_timebase_info_data_t info{};
        mach_timebase_info(&info);
        return info;
    }();
    // The absolute clock read on both sides of the continuous one.
    const uint64_t before = mach_absolute_time();
    const uint64_t continuous = mach_continuous_time();
    const uint64_t after = mach_absolute_time();
    const double middle = static_cast<double>(before) / 2 + static_cast<double>(after) / 2;
    return risingSlept((static_cast<double>(continuous) - middle) * timebase.numer /
                       timebase.denom / 1e9);
}

}  // namespace power
