#pragma once
// A signal that threads wait on: manual reset (stays set until Reset) or auto reset (one returning
// wait consumes it). Any thread may Set, Reset, peek or wait, and any number may wait on the same
// event, alone or together with others through WaitAny. Events may be shared by name within the
// process. An event must outlive every wait that names it; it never holds its lock while a
// waiter sleeps, so a waiter never blocks a Set.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

// What WaitAny returns when its time ran out before any event was set.
inline constexpr std::size_t kWaitTimeout = std::numeric_limits<std::size_t>::max();

namespace event_detail {
struct Waiter;
}

class Event {
public:
    Event(bool manualReset, bool initiallySet);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // The process-wide event of this name. The first caller creates it with its parameters; later
    // callers get the same object and their parameters are ignored. It lives while anyone holds it;
    // once the last holder lets go, the name is free and the next caller creates a new event.
    static std::shared_ptr<Event> Named(const std::u16string& name, bool manualReset,
                                        bool initiallySet);

    void Set();
    void Reset();
    // Peeks at the state without consuming an auto-reset event.
    bool IsSet() const;

    bool IsManualReset() const { return manualReset_; }

    // Waits until set; an auto-reset event is consumed.
    void Wait();
    // Returns false when the time ran out first.
    bool Wait(uint32_t timeoutMs);

private:
    friend std::size_t WaitAny(std::span<Event* const>, std::optional<uint32_t>);

    // Under mutex_: takes the signal if there is one (consuming an auto-reset event) and says
    // whether it did. When it did not and waiter is given, registers the waiter so the next Set
    // wakes it.
    bool TakeOrRegister(event_detail::Waiter* waiter);
    void Unregister(event_detail::Waiter* waiter);

    const bool manualReset_;
    mutable std::mutex mutex_;
    bool set_;                                    // guarded by mutex_
    std::vector<event_detail::Waiter*> waiters_;  // guarded by mutex_
};

// Waits until one of the events is set and returns its index; when several are set, the lowest
// index wins. Only the returned event is consumed (when auto reset); the others stay as they are.
// No time-out (nullopt) waits for ever; a time-out of 0 only looks. Returns kWaitTimeout when the
// time ran out. The same event may take part in any number of waits at once. An empty list is a
// programming error and throws std::invalid_argument.
std::size_t WaitAny(std::span<Event* const> events, std::optional<uint32_t> timeoutMs);
std::size_t WaitAny(std::initializer_list<Event*> events,
                    std::optional<uint32_t> timeoutMs = std::nullopt);
