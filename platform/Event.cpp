#include "platform/Event.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <stdexcept>
#include <unordered_map>

// One sleeping WaitAny call. It registers with every event it waits on; a Set marks it notified
// under the event's lock, so a Set that comes after the waiter looked at that event can't be
// missed even if it happens before the waiter goes to sleep. Lock order: event, then waiter.
struct event_detail::Waiter {
    std::mutex mutex;
    std::condition_variable wake;
    bool notified = false;  // guarded by mutex

    void Notify() {
        std::lock_guard lock(mutex);
        notified = true;
        wake.notify_one();
    }

    // Returns true when notified (and clears the mark), false when the deadline passed first.
    bool Sleep(const std::optional<std::chrono::steady_clock::time_point>& deadline) {
        std::unique_lock lock(mutex);
        if (deadline) {
            if (!wake.wait_until(lock, *deadline, [this] { return notified; })) {
                return false;
            }
        } else {
            wake.wait(lock, [this] { return notified; });
        }
        notified = false;
        return true;
    }
};

namespace {

struct NamedEvents {
    std::mutex mutex;
    // Weak, so a name lives exactly as long as some holder keeps its event.
    std::unordered_map<std::u16string, std::weak_ptr<Event>> byName;
};

NamedEvents& TheNamedEvents() {
    static NamedEvents events;
    return events;
}

}  // namespace

Event::Event(bool manualReset, bool initiallySet) : manualReset_(manualReset), set_(initiallySet) {}

Event::~Event() {
    // A waiter still registered here would be woken through a dangling pointer later.
    assert(waiters_.empty());
}

std::shared_ptr<Event> Event::Named(const std::u16string& name, bool manualReset,
                                    bool initiallySet) {
    NamedEvents& named = TheNamedEvents();
    std::lock_guard lock(named.mutex);
    if (auto found = named.byName.find(name); found != named.byName.end()) {
        if (auto existing = found->second.lock()) {
            return existing;
        }
    }
    // Names like "<game> details" come and go; drop the dead ones so the table stays small.
    std::erase_if(named.byName, [](const auto& entry) { return entry.second.expired(); });
    auto created = std::make_shared<Event>(manualReset, initiallySet);
    named.byName[name] = created;
    return created;
}

void Event::Set() {
    std::lock_guard lock(mutex_);
    set_ = true;
    // Every waiter is woken, also for an auto-reset event: one woken waiter may have been
    // satisfied by another of its events meanwhile, and the signal must not be stranded. Those
    // that lose the race for it simply go back to sleep.
    for (event_detail::Waiter* waiter : waiters_) {
        waiter->Notify();
    }
}

void Event::Reset() {
    std::lock_guard lock(mutex_);
    set_ = false;
}

bool Event::IsSet() const {
    std::lock_guard lock(mutex_);
    return set_;
}

void Event::Wait() {
    Event* self = this;
    WaitAny(std::span<Event* const>(&self, 1), std::nullopt);
}

bool Event::Wait(uint32_t timeoutMs) {
    Event* self = this;
    return WaitAny(std::span<Event* const>(&self, 1), timeoutMs) == 0;
}

bool Event::TakeOrRegister(event_detail::Waiter* waiter) {
    std::lock_guard lock(mutex_);
    if (set_) {
        if (!manualReset_) {
            set_ = false;
        }
        return true;
    }
    if (waiter != nullptr) {
        waiters_.push_back(waiter);
    }
    return false;
}

void Event::Unregister(event_detail::Waiter* waiter) {
    std::lock_guard lock(mutex_);
    // Only one entry: the same event may appear twice in one WaitAny and is then registered twice.
    auto found = std::find(waiters_.begin(), waiters_.end(), waiter);
    if (found != waiters_.end()) {
        *found = waiters_.back();
        waiters_.pop_back();
    }
}

std::size_t WaitAny(std::span<Event* const> events, std::optional<uint32_t> timeoutMs) {
    if (events.empty()) {
        throw std::invalid_argument("WaitAny needs at least one event");
    }
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (timeoutMs) {
        deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(*timeoutMs);
    }

    event_detail::Waiter waiter;
    std::size_t result = kWaitTimeout;
    // events[0, registered) carry our waiter.
    std::size_t registered = 0;
    for (; registered < events.size(); ++registered) {
        if (events[registered]->TakeOrRegister(&waiter)) {
            result = registered;
            break;
        }
    }
    while (result == kWaitTimeout && waiter.Sleep(deadline)) {
        // Something was set since we last looked; it may already be gone (another waiter took an
        // auto-reset event, or it was reset), in which case we sleep again.
        for (std::size_t i = 0; i < registered; ++i) {
            if (events[i]->TakeOrRegister(nullptr)) {
                result = i;
                break;
            }
        }
    }
    for (std::size_t i = 0; i < registered; ++i) {
        events[i]->Unregister(&waiter);
    }
    return result;
}

std::size_t WaitAny(std::initializer_list<Event*> events, std::optional<uint32_t> timeoutMs) {
    return WaitAny(std::span<Event* const>(events.begin(), events.size()), timeoutMs);
}
