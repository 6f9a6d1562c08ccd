#include "platform/BackgroundThread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <stdexcept>
#include <utility>

namespace {

// Background work must never compete with the user interface for the processor. On Linux a
// thread's nice value is its own when set through its thread id.
void LowerOwnPriority() {
    constexpr int kLowestPriority = 19;
    // A refusal only costs responsiveness, never correctness: ignore it.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kLowestPriority);
}

}  // namespace

BackgroundThread::BackgroundThread() = default;

BackgroundThread::~BackgroundThread() {
    RequestStop();
    Join();
}

void BackgroundThread::Start(Body body) {
    if (Started()) {
        throw std::logic_error("BackgroundThread started twice");
    }
    body_ = std::move(body);
    thread_ = std::thread([this] { Run(); });
}

void BackgroundThread::Join() {
    if (thread_.joinable()) {
        thread_.join();
        joined_ = true;
    }
}

void BackgroundThread::Run() {
    LowerOwnPriority();
    try {
        body_(stop_);
    } catch (...) {
        failure_ = std::current_exception();
    }
    exited_.Set();
}
