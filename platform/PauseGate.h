#pragma once
// Holds worker threads at their check points while paused, in place of suspending them where
// they happen to be: a paused worker makes no progress, yet holds no lock (ours or anyone's) and
// still answers its stop and break events. Pause, Resume and IsPaused may be called from any
// thread; Pass and PassOrStop by the workers, at points where they hold no lock.
#include <initializer_list>
#include <span>

#include "platform/Event.h"

class PauseGate {
public:
    PauseGate() = default;
    PauseGate(const PauseGate&) = delete;
    PauseGate& operator=(const PauseGate&) = delete;

    // Not counted: one Resume undoes any number of Pauses.
    void Pause() { open_.Reset(); }
    void Resume() { open_.Set(); }
    bool IsPaused() const { return !open_.IsSet(); }

    // Returns at once while not paused; otherwise waits for Resume.
    void Pass() { open_.Wait(); }
    // Returns false as soon as one of the stop events is set — at once if one already is, paused
    // or not — and true once the gate is open and none is. A stop event that ends the wait is
    // consumed if it is auto reset, as with any wait.
    bool PassOrStop(std::span<Event* const> stops);
    bool PassOrStop(std::initializer_list<Event*> stops);
    bool PassOrStop(Event& stop) { return PassOrStop({&stop}); }

private:
    Event open_{true, true};
};
