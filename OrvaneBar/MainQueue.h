// Time and work on the main thread, behind an interface so that the rules that depend on
// time (the row's edit grace period and its debounced slider write) run against a clock
// the tests control. It is also the one way background work hands its result back to the
// main thread (post). The application uses the Qt event loop's implementation, mainQueue().
#pragma once

#include <chrono>
#include <functional>
#include <memory>

using TimePoint = std::chrono::steady_clock::time_point;

// A cancellable unit of delayed work. Cancelling after it has run has no effect.
class WorkItem {
  public:
    explicit WorkItem(std::function<void()> body) : body_(std::move(body)) {}

    void cancel() { cancelled_ = true; }
    bool isCancelled() const { return cancelled_; }
    // Runs the body once, unless the item was cancelled.
    void perform() {
        if (cancelled_ || performed_) return;
        performed_ = true;
        body_();
    }

  private:
    std::function<void()> body_;
    bool cancelled_ = false;
    bool performed_ = false;
};

class MainQueue {
  public:
    virtual ~MainQueue() = default;
    // A monotonic clock.
    virtual TimePoint now() const = 0;
    // Performs item on the main thread once delay has passed. The queue keeps the item
    // until then; a cancelled item is dropped without running.
    virtual void asyncAfter(std::chrono::milliseconds delay, std::shared_ptr<WorkItem> item) = 0;
    // Runs work on the main thread with one queued call, as soon as the event loop gets to
    // it: how background work hands its result back. Callable from any thread, whatever
    // queue the caller's rules run on; work posted after the application object is gone
    // is dropped.
    static void post(std::function<void()> work);
};

// The main thread's queue: the steady clock and single-shot timers of the Qt event
// loop. Needs a QCoreApplication.
MainQueue& mainQueue();
