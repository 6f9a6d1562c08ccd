#include "engine/WorkerCheckPoint.h"

#include <vector>

WorkerStop WorkerCheckPoint::Peek() const {
    if (terminate != nullptr && terminate->IsSet()) {
        return WorkerStop::kTerminate;
    }
    if (breakTask != nullptr && breakTask->IsSet()) {
        return WorkerStop::kBreak;
    }
    return WorkerStop::kNone;
}

WorkerStop WorkerCheckPoint::Pass() const {
    // Passed once per block: while the gate is open this must cost no more than a look at the
    // events. A pause that arrives just after the look takes effect at the next check point.
    if (pauseGate == nullptr || !pauseGate->IsPaused()) {
        return Peek();
    }
    std::vector<Event*> stops;
    for (Event* event : {terminate, breakTask}) {
        if (event != nullptr) {
            stops.push_back(event);
        }
    }
    for (;;) {
        const bool passed = pauseGate->PassOrStop(std::span<Event* const>(stops));
        const WorkerStop stop = Peek();
        // A stop event that woke the gate but was reset before we looked (an abort that has
        // already finished with this worker) is no reason to stop: wait at the gate again.
        if (passed || stop != WorkerStop::kNone) {
            return stop;
        }
    }
}
