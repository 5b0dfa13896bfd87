#include "MainQueue.h"

#include <QCoreApplication>
#include <QTimer>

namespace {

class QtMainQueue final : public MainQueue {
  public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }

    void asyncAfter(std::chrono::milliseconds delay, std::shared_ptr<WorkItem> item) override {
        // The application object as context: the timer is dropped if it goes away first.
        QTimer::singleShot(delay, QCoreApplication::instance(),
                           [item = std::move(item)] { item->perform(); });
    }
};

}  // namespace

MainQueue& mainQueue() {
    static QtMainQueue queue;
    return queue;
}
