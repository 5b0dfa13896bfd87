// A main queue whose clock only moves when a test says so; delayed work runs as the
// clock passes its due time.
#pragma once

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "MainQueue.h"

class ManualQueue : public MainQueue {
  public:
    TimePoint now() const override { return now_; }

    void asyncAfter(std::chrono::milliseconds delay, std::shared_ptr<WorkItem> item) override {
        pending_.push_back({now_ + delay, next_++, std::move(item)});
    }

    // Moves the clock forward by `by`, performing due work in order of due time.
    void advance(std::chrono::milliseconds by) {
        const TimePoint end = now_ + by;
        for (;;) {
            auto due = std::min_element(pending_.begin(), pending_.end(),
                                        [](const Entry& a, const Entry& b) {
                                            return a.due != b.due ? a.due < b.due : a.seq < b.seq;
                                        });
            if (due == pending_.end() || due->due > end) break;
            Entry entry = *due;
            pending_.erase(due);
            now_ = entry.due;
            entry.item->perform();
        }
        now_ = end;
    }

  private:
    struct Entry {
        TimePoint due;
        long seq;
        std::shared_ptr<WorkItem> item;
    };
    TimePoint now_ = TimePoint{} + std::chrono::hours(1);
    long next_ = 0;
    std::vector<Entry> pending_;
};
