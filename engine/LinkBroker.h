#pragma once
// The hand-over of download links from the main window to the workers that asked for them. A
// worker opens a numbered request, posts it, and waits; the window's answer names the request it
// answers. Only the answer to the request a worker waits for now reaches it: the answer to a
// request of a task that was broken off, arriving late, is dropped rather than taken for the next
// task's link. Owned by the worker pool; Open and Await run on worker `slot`'s own thread,
// Deliver on any thread.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Event.h"

class LinkBroker {
public:
    explicit LinkBroker(size_t slots);

    // A new request of worker `slot`; earlier ones are no longer awaited. Never 0.
    uint32_t Open(size_t slot);
    // The link answering `request` of worker `slot` (empty: the store gave none). False, and
    // nothing delivered, when the worker no longer waits for that request.
    bool Deliver(size_t slot, const std::u16string& link, uint32_t request);
    // Waits for the answer to `request`; nothing when one of `stops` was set first.
    std::optional<std::u16string> Await(size_t slot, uint32_t request,
                                        std::initializer_list<Event*> stops);

private:
    struct Slot {
        Event ready{true, false};
        std::u16string link;    // guarded by lock_
        uint32_t awaited = 0;   // guarded by lock_: the request the worker waits for
        uint32_t answered = 0;  // guarded by lock_: the request `link` answers
    };
    std::mutex lock_;
    std::vector<std::unique_ptr<Slot>> slots_;
};
