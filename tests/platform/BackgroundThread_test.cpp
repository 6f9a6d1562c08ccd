#include "platform/BackgroundThread.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>

#include "support/WaitFor.h"

namespace {

constexpr uint32_t kHang = 10000;

TEST(BackgroundThreadTest, ExitedIsSetOnlyOnceTheBodyReturns) {
    Event release(true, false);
    std::atomic<bool> ran{false};
    BackgroundThread thread;
    EXPECT_FALSE(thread.Started());
    thread.Start([&](Event&) {
        ran = true;
        release.Wait();
    });
    EXPECT_TRUE(thread.Started());
    ASSERT_TRUE(WaitFor([&] { return ran.load(); }));
    EXPECT_FALSE(thread.ExitedEvent().Wait(20));
    release.Set();
    EXPECT_TRUE(thread.ExitedEvent().Wait(kHang));
    thread.Join();
    EXPECT_FALSE(thread.Failure());
    // Joining twice is harmless.
    thread.Join();
}

TEST(BackgroundThreadTest, BodyThatThrowsStillSignalsExitedAndKeepsTheError) {
    BackgroundThread thread;
    thread.Start([](Event&) { throw std::runtime_error("disk gone"); });
    ASSERT_TRUE(thread.ExitedEvent().Wait(kHang));
    thread.Join();
    ASSERT_TRUE(thread.Failure());
    try {
        std::rethrow_exception(thread.Failure());
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "disk gone");
    }
}

TEST(BackgroundThreadTest, RequestStopWakesTheBodyWaitingOnItsStopEvent) {
    Event work(false, false);
    std::atomic<int> done{0};
    BackgroundThread thread;
    thread.Start([&](Event& stop) {
        while (WaitAny({&stop, &work}, std::nullopt) == 1) {
            ++done;
        }
    });
    work.Set();
    ASSERT_TRUE(WaitFor([&] { return done.load() == 1; }));
    EXPECT_FALSE(thread.ExitedEvent().IsSet());
    thread.RequestStop();
    EXPECT_TRUE(thread.ExitedEvent().Wait(kHang));
    thread.Join();
    EXPECT_EQ(done.load(), 1);
}

TEST(BackgroundThreadTest, DestructorStopsAndJoins) {
    std::atomic<bool> sawStop{false};
    std::atomic<bool> waiting{false};
    {
        BackgroundThread thread;
        thread.Start([&](Event& stop) {
            waiting = true;
            stop.Wait();
            sawStop = true;
        });
        ASSERT_TRUE(WaitFor([&] { return waiting.load(); }));
    }
    // Joined, not detached: the body has finished by the time the destructor returned.
    EXPECT_TRUE(sawStop.load());
}

TEST(BackgroundThreadTest, NeverStartedIsHarmless) {
    BackgroundThread thread;
    thread.Join();
    thread.RequestStop();
    EXPECT_TRUE(thread.StopEvent().IsSet());
    EXPECT_FALSE(thread.ExitedEvent().IsSet());
}

TEST(BackgroundThreadTest, StartsOnlyOnce) {
    BackgroundThread thread;
    thread.Start([](Event&) {});
    EXPECT_THROW(thread.Start([](Event&) {}), std::logic_error);
    thread.Join();
    EXPECT_THROW(thread.Start([](Event&) {}), std::logic_error);
}

TEST(BackgroundThreadTest, RunsAtTheLowestPriorityWithoutLoweringItsOwner) {
    errno = 0;
    const int ownerBefore = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    ASSERT_EQ(errno, 0);
    std::atomic<int> inside{-100};
    BackgroundThread thread;
    thread.Start([&](Event&) { inside = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())); });
    thread.Join();
    EXPECT_EQ(inside.load(), 19);
    EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())), ownerBefore);
}

}  // namespace
