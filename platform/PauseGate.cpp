#include "platform/PauseGate.h"

#include <vector>

bool PauseGate::PassOrStop(std::span<Event* const> stops) {
    // The stop events come first so that, when both are set, stopping wins over passing.
    std::vector<Event*> events(stops.begin(), stops.end());
    events.push_back(&open_);
    return WaitAny(events, std::nullopt) == stops.size();
}

bool PauseGate::PassOrStop(std::initializer_list<Event*> stops) {
    return PassOrStop(std::span<Event* const>(stops.begin(), stops.size()));
}
