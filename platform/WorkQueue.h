#pragma once
// A queue of owned work items handed from one thread to a background thread, with a manual-reset
// event that is set while the queue holds anything, so that the background thread can wait for
// work and for its stop event together (WaitAny). Any thread may push and take.
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/Event.h"

template <class Item>
class WorkQueue {
public:
    void Push(std::unique_ptr<Item> item) {
        std::lock_guard lock(lock_);
        items_.push_back(std::move(item));
        notEmpty_.Set();
    }
    // Ahead of everything queued.
    void PushFront(std::unique_ptr<Item> item) {
        std::lock_guard lock(lock_);
        items_.push_front(std::move(item));
        notEmpty_.Set();
    }

    // The first item, or nullptr when there is none.
    std::unique_ptr<Item> TakeFirst() {
        std::lock_guard lock(lock_);
        if (items_.empty()) {
            notEmpty_.Reset();
            return nullptr;
        }
        std::unique_ptr<Item> first = std::move(items_.front());
        items_.pop_front();
        if (items_.empty()) {
            notEmpty_.Reset();
        }
        return first;
    }

    // Everything queued, which the caller may then free outside the lock.
    std::deque<std::unique_ptr<Item>> TakeAll() {
        std::deque<std::unique_ptr<Item>> all;
        std::lock_guard lock(lock_);
        all.swap(items_);
        notEmpty_.Reset();
        return all;
    }

    size_t Size() const {
        std::lock_guard lock(lock_);
        return items_.size();
    }

    Event& NotEmpty() { return notEmpty_; }

private:
    mutable std::mutex lock_;
    std::deque<std::unique_ptr<Item>> items_;  // guarded by lock_
    Event notEmpty_{true, false};
};
