#pragma once
// One owned background thread at the lowest scheduling priority, with a stop event that asks it
// to end and an exited event (manual reset) that says it has ended. The owner starts it once its
// set-up is done, and stops and joins it; the thread is never detached. The body must return soon
// after the stop event is set (it waits on it together with its other events), or the owner's
// Join — and so the destructor — waits for ever. Start, Join and the destructor belong to the
// owner's thread; RequestStop and the events may be used from any thread.
#include <exception>
#include <functional>
#include <thread>

#include "platform/Event.h"

class BackgroundThread {
public:
    using Body = std::function<void(Event& stop)>;

    BackgroundThread();
    // Requests a stop and joins.
    ~BackgroundThread();
    BackgroundThread(const BackgroundThread&) = delete;
    BackgroundThread& operator=(const BackgroundThread&) = delete;

    // Runs body on a new thread. A thread runs once: a second Start throws std::logic_error.
    void Start(Body body);
    void RequestStop() { stop_.Set(); }
    // Waits for the body to end; does nothing when never started or already joined.
    void Join();

    bool Started() const { return thread_.joinable() || joined_; }
    Event& StopEvent() { return stop_; }
    Event& ExitedEvent() { return exited_; }
    // What the body threw, if it ended by an exception; read it once ExitedEvent is set.
    std::exception_ptr Failure() const { return failure_; }

private:
    void Run();

    Event stop_{true, false};
    Event exited_{true, false};
    Body body_;
    // Written by the thread before exited_ is set, read by others only after it is.
    std::exception_ptr failure_;
    bool joined_ = false;
    std::thread thread_;
};
