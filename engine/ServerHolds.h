#pragma once
// The servers that asked to be left alone for a while (a 429 or 503 answer with Retry-After),
// by origin ("https://host:port"), and until when. A worker about to ask a server waits out its
// hold first, so that one busy answer holds back every worker, not only the one that got it.
// Real time, whatever clock the engine's reports use. Any thread.
#include <chrono>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>

#include "platform/Event.h"

class ServerHolds {
public:
    using Clock = std::chrono::steady_clock;

    // The origin is not to be asked before `wait` has passed (a longer hold already set stays).
    void Hold(const std::string& origin, std::chrono::milliseconds wait);
    // Returns once the origin's hold has passed, or at once when one of `stops` is set (then
    // false).
    bool WaitOut(const std::string& origin, std::initializer_list<Event*> stops) const;

private:
    mutable std::mutex lock_;
    std::map<std::string, Clock::time_point> until_;
};
