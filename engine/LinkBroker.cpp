#include "engine/LinkBroker.h"

#include <vector>

LinkBroker::LinkBroker(size_t slots) {
    for (size_t i = 0; i < slots; ++i) {
        slots_.push_back(std::make_unique<Slot>());
    }
}

uint32_t LinkBroker::Open(size_t slot) {
    Slot& s = *slots_.at(slot);
    // The ready event is reset under the same lock under which Deliver sets it, so a late answer
    // that passed its number test before this can't wake the new request.
    std::lock_guard<std::mutex> guard(lock_);
    s.awaited = s.awaited == UINT32_MAX ? 1 : s.awaited + 1;
    s.ready.Reset();
    return s.awaited;
}

bool LinkBroker::Deliver(size_t slot, const std::u16string& link, uint32_t request) {
    if (slot >= slots_.size()) {
        return false;
    }
    Slot& s = *slots_[slot];
    std::lock_guard<std::mutex> guard(lock_);
    if (request != s.awaited) {
        return false;
    }
    s.link = link;
    s.answered = request;
    // Set under the lock: checked and signalled as one step, so the worker can't have moved on
    // to a newer request in between.
    s.ready.Set();
    return true;
}

std::optional<std::u16string> LinkBroker::Await(size_t slot, uint32_t request,
                                                std::initializer_list<Event*> stops) {
    Slot& s = *slots_.at(slot);
    std::vector<Event*> events(stops);
    events.push_back(&s.ready);
    for (;;) {
        if (WaitAny(events, std::nullopt) != events.size() - 1) {
            return std::nullopt;
        }
        std::lock_guard<std::mutex> guard(lock_);
        // Only the link delivered for this very request counts; anything else that woke the
        // worker is not an answer.
        if (s.answered == request) {
            return s.link;
        }
        s.ready.Reset();
    }
}
