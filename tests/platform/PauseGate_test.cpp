#include "platform/PauseGate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/WaitFor.h"

namespace {

// A worker that counts steps, passing the gate between them, until its stop event ends it.
class CountingWorker {
public:
    explicit CountingWorker(PauseGate& gate) : thread_([this, &gate] { Run(gate); }) {}
    ~CountingWorker() {
        stop.Set();
        thread_.join();
    }

    Event stop{true, false};
    std::atomic<int> steps{0};
    std::atomic<bool> ended{false};

private:
    void Run(PauseGate& gate) {
        while (gate.PassOrStop(stop)) {
            ++steps;
            std::this_thread::yield();
        }
        ended = true;
    }

    std::thread thread_;
};

TEST(PauseGateTest, OpenGatePassesAtOnce) {
    PauseGate gate;
    EXPECT_FALSE(gate.IsPaused());
    gate.Pass();
    Event stop(true, false);
    EXPECT_TRUE(gate.PassOrStop(stop));
}

TEST(PauseGateTest, StopWinsOverAnOpenGate) {
    PauseGate gate;
    Event terminate(true, false);
    Event breakTask(true, false);
    breakTask.Set();
    EXPECT_FALSE(gate.PassOrStop({&terminate, &breakTask}));
    EXPECT_TRUE(breakTask.IsSet());  // manual reset: looking at it leaves it set
}

TEST(PauseGateTest, PauseHaltsProgressAndResumeContinuesIt) {
    PauseGate gate;
    CountingWorker worker(gate);
    ASSERT_TRUE(WaitFor([&] { return worker.steps.load() > 10; }));

    gate.Pause();
    EXPECT_TRUE(gate.IsPaused());
    const int atPause = worker.steps.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    // At most the step that was already past the gate when it closed.
    EXPECT_LE(worker.steps.load(), atPause + 1);
    EXPECT_FALSE(worker.ended.load());

    gate.Resume();
    EXPECT_FALSE(gate.IsPaused());
    EXPECT_TRUE(WaitFor([&] { return worker.steps.load() > atPause + 10; }));
}

TEST(PauseGateTest, StopEndsAWorkerHeldWhilePaused) {
    PauseGate gate;
    gate.Pause();
    CountingWorker worker(gate);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(worker.steps.load(), 0);
    worker.stop.Set();
    EXPECT_TRUE(WaitFor([&] { return worker.ended.load(); }));
    EXPECT_EQ(worker.steps.load(), 0);
    EXPECT_TRUE(gate.IsPaused());
}

TEST(PauseGateTest, PassBlocksUntilResume) {
    PauseGate gate;
    gate.Pause();
    std::atomic<bool> passed{false};
    std::thread worker([&] {
        gate.Pass();
        passed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(passed.load());
    gate.Resume();
    EXPECT_TRUE(WaitFor([&] { return passed.load(); }));
    worker.join();
}

TEST(PauseGateTest, PausesAreNotCounted) {
    PauseGate gate;
    gate.Pause();
    gate.Pause();
    gate.Resume();
    EXPECT_FALSE(gate.IsPaused());
    gate.Resume();
    EXPECT_FALSE(gate.IsPaused());
}

// Many workers, paused and resumed over and over from another thread while they run; each
// resume lets all of them move on, and stopping ends them whether paused or not.
TEST(PauseGateTest, ManyWorkersFollowRepeatedPauseAndResume) {
    constexpr int kWorkers = 6;
    PauseGate gate;
    std::vector<std::unique_ptr<CountingWorker>> workers;
    for (int i = 0; i < kWorkers; ++i) {
        workers.push_back(std::make_unique<CountingWorker>(gate));
    }
    for (int round = 0; round < 20; ++round) {
        gate.Pause();
        std::vector<int> before;
        for (auto& worker : workers) {
            before.push_back(worker->steps.load());
        }
        gate.Resume();
        for (std::size_t i = 0; i < workers.size(); ++i) {
            ASSERT_TRUE(WaitFor([&] { return workers[i]->steps.load() > before[i]; }));
        }
    }
    gate.Pause();
    for (auto& worker : workers) {
        worker->stop.Set();
    }
    for (auto& worker : workers) {
        EXPECT_TRUE(WaitFor([&] { return worker->ended.load(); }));
    }
}

}  // namespace
