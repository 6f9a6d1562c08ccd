#include "engine/ServerHolds.h"

#include <algorithm>
#include <vector>

void ServerHolds::Hold(const std::string& origin, std::chrono::milliseconds wait) {
    const Clock::time_point until = Clock::now() + wait;
    std::lock_guard<std::mutex> guard(lock_);
    auto [it, added] = until_.try_emplace(origin, until);
    if (!added) {
        it->second = std::max(it->second, until);
    }
}

bool ServerHolds::WaitOut(const std::string& origin, std::initializer_list<Event*> stops) const {
    using std::chrono::milliseconds;
    const std::vector<Event*> events(stops);
    for (;;) {
        milliseconds left{0};
        {
            std::lock_guard<std::mutex> guard(lock_);
            const auto it = until_.find(origin);
            if (it != until_.end()) {
                // Rounded up, so that the wait never ends a little before the hold does.
                left = std::chrono::ceil<milliseconds>(it->second - Clock::now());
            }
        }
        if (left.count() <= 0) {
            return true;
        }
        const auto timeout = static_cast<uint32_t>(std::min<int64_t>(left.count(), 60000));
        if (WaitAny(events, timeout) != kWaitTimeout) {
            return false;
        }
    }
}
