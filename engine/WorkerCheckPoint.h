#pragma once
// The points between two blocks of work where a worker looks at its terminate and break events
// and waits while the engine is paused. Plain pointers to events and a gate that the worker pool
// owns and keeps alive while the worker runs; used only by the worker thread that holds it. Any
// member may be null (no such event, never paused).
#include "platform/Event.h"
#include "platform/PauseGate.h"

enum class WorkerStop { kNone, kTerminate, kBreak };

struct WorkerCheckPoint {
    Event* terminate = nullptr;
    Event* breakTask = nullptr;
    PauseGate* pauseGate = nullptr;

    // Waits while paused (a stop event ends the wait), then says which event is set; terminate
    // wins over break, as the worker must end rather than hand its task back.
    WorkerStop Pass() const;
    // The same without waiting at the gate.
    WorkerStop Peek() const;
};
