#include "MainQueue.h"

#include <QCoreApplication>
#include <QMetaObject>
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

void MainQueue::post(std::function<void()> work) {
    // Queued to the application object, which lives on the main thread and outlives every
    // window and controller.
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}
