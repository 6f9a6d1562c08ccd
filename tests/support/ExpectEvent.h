#pragma once
// The next event a queue holds, checked against the type a test expects: a test failure (and a
// default-made event, so the test can go on to its next check) when none comes within `limit` or
// another type comes.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <variant>

#include "core/AppEvent.h"
#include "core/MessageQueue.h"

template <class Event>
Event ExpectEvent(MessageQueue& queue, std::chrono::milliseconds limit) {
    std::optional<AppEvent> event = queue.Take(limit);
    if (!event) {
        ADD_FAILURE() << "no event, expected 0x" << std::hex << Event::kLogNumber;
        return {};
    }
    Event* typed = std::get_if<Event>(&*event);
    if (typed == nullptr) {
        ADD_FAILURE() << "event 0x" << std::hex << LogNumberOf(*event) << ", expected 0x"
                      << Event::kLogNumber;
        return {};
    }
    return std::move(*typed);
}
