// The speed meter: the ten-sample moving average, the samples its thread posts for the workers'
// speed table, its cadence on the real wait, and how it stops.
#include "engine/SpeedMeter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/MessageQueue.h"
#include "platform/BackgroundThread.h"
#include "support/WaitFor.h"

namespace {

using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

constexpr milliseconds kLimit{10000};
// A period the tests never wait out: anything that ends or posts did so because of something else.
constexpr uint32_t kNeverDue = 600000;

// One worker at 200 bytes/ms from the fifth second on, all others idle.
const std::vector<uint64_t> kOneWorkerFromSecondFive = {0,   0,   0,   0,   200, 200, 200, 200,
                                                        200, 200, 200, 200, 200, 200, 200};
const std::vector<uint64_t> kItsReports = {0,   0,   0,   0,   40,  66,  85, 100,
                                           111, 120, 140, 160, 180, 200, 200};

// Samples come when the test says so, one per Tick.
class ManualTicks {
public:
    SampleWait AsWait() {
        return [this](Event& stop) { return WaitAny({&stop, &tick_}) == 1; };
    }
    void Tick() { tick_.Set(); }

private:
    Event tick_{false, false};
};

// The value of the next speed sample; nullopt when none came in time or it was not a well-formed
// speed sample.
std::optional<uint64_t> NextSample(MessageQueue& window, milliseconds limit = kLimit) {
    std::optional<AppEvent> event = window.Take(limit);
    if (!event) {
        return std::nullopt;
    }
    const SpeedSample* sample = std::get_if<SpeedSample>(&*event);
    EXPECT_NE(sample, nullptr) << "event " << LogNumberOf(*event) << " in place of a sample";
    if (sample == nullptr) {
        return std::nullopt;
    }
    return sample->kilobytesPerSecond;
}

TEST(SpeedAverage, MeanOfTheLastTenSamples) {
    struct Case {
        const char* name;
        std::vector<uint64_t> samples;
        std::vector<uint64_t> averages;
    };
    constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();
    const Case cases[] = {
        {"one worker from second five", kOneWorkerFromSecondFive, kItsReports},
        {"idle", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        // The eleventh sample pushes the first out; the mean truncates.
        {"window slides",
         {10, 1, 1, 1, 1, 1, 1, 1, 1, 1, 3, 0},
         {10, 5, 4, 3, 2, 2, 2, 2, 2, 1, 1, 1}},
        {"stopping", {100, 100, 0, 0, 0}, {100, 100, 66, 50, 40}},
        // Twenty workers flat out: a sum of sums that would wrap in 32 bits must not.
        {"no wrap",
         {20 * kMax32, 20 * kMax32, 20 * kMax32},
         {20 * kMax32, 20 * kMax32, 20 * kMax32}},
    };
    for (const Case& c : cases) {
        SpeedAverage average;
        std::vector<uint64_t> reports;
        for (const uint64_t sample : c.samples) {
            reports.push_back(average.Add(sample));
        }
        EXPECT_EQ(reports, c.averages) << c.name;
        EXPECT_EQ(average.Count(), std::min(c.samples.size(), kSpeedSampleWindow)) << c.name;
    }
}

TEST(SpeedMeter, PostsTheAverageOfTheWorkerTableAtEverySample) {
    std::array<std::atomic<uint32_t>, 20> table{};
    MessageQueue window;
    ManualTicks ticks;
    SpeedMeter meter(window, SumOfWorkerSpeeds(table), {kNeverDue, ticks.AsWait()});
    meter.Start();

    std::vector<uint64_t> reports;
    for (size_t second = 1; second <= kOneWorkerFromSecondFive.size(); ++second) {
        if (second == 5) {
            // 200 bytes/ms split over the first and last worker: every entry is read.
            table[0] = 150;
            table[19] = 50;
        }
        ticks.Tick();
        const std::optional<uint64_t> report = NextSample(window);
        ASSERT_TRUE(report) << "no sample after tick " << second;
        reports.push_back(*report);
    }
    EXPECT_EQ(reports, kItsReports);

    meter.Stop();
    EXPECT_TRUE(meter.StoppedEvent().IsSet());
    EXPECT_EQ(window.Size(), 0u) << "one sample per tick, none after the stop";
}

TEST(SpeedMeter, SamplesOncePerPeriodOnTheRealWait) {
    constexpr uint32_t kPeriodMs = 20;
    constexpr int kSamples = 5;
    MessageQueue window;
    std::atomic<int> reads{0};
    SpeedMeter meter(window, [&reads] { return static_cast<uint64_t>(++reads * 10); },
                     {kPeriodMs, {}});

    const SteadyClock::time_point start = SteadyClock::now();
    meter.Start();
    std::vector<uint64_t> reports;
    for (int i = 0; i < kSamples; ++i) {
        const std::optional<uint64_t> report = NextSample(window);
        ASSERT_TRUE(report) << "sample " << i;
        reports.push_back(*report);
    }
    // Each sample waits its whole period first, so five cannot come sooner than five periods.
    EXPECT_GE(SteadyClock::now() - start, milliseconds(kSamples * kPeriodMs));
    meter.Stop();

    // Samples 10, 20, 30, ...: their running means.
    EXPECT_EQ(reports, (std::vector<uint64_t>{10, 15, 20, 25, 30}));
    EXPECT_EQ(window.Size(), static_cast<size_t>(reads.load() - kSamples))
        << "one post per read of the table";
}

TEST(SpeedMeter, StopEndsTheWaitAtOnce) {
    MessageQueue window;
    Event stop(true, false);
    Event stopped(true, false);
    std::atomic<int> reads{0};
    const SpeedSource source = [&reads] {
        ++reads;
        return uint64_t{0};
    };

    // The thread procedure, as an owner with events of its own runs it: its wait is far longer
    // than the limit below, so ending within it means the stop cut the wait short.
    BackgroundThread thread;
    thread.Start([&](Event&) { SpeedMeterThread(window, source, stop, stopped, {kNeverDue, {}}); });
    EXPECT_FALSE(stopped.Wait(20)) << "runs until stopped";
    stop.Set();
    EXPECT_TRUE(stopped.Wait(static_cast<uint32_t>(kLimit.count())));
    thread.Join();
    EXPECT_EQ(reads.load(), 0);
    EXPECT_EQ(window.Size(), 0u);

    // Stopped before it starts: ends without a sample.
    SpeedMeter meter(window, source, {kNeverDue, {}});
    meter.StopEvent().Set();
    meter.Start();
    EXPECT_TRUE(meter.StoppedEvent().Wait(static_cast<uint32_t>(kLimit.count())));
    meter.Stop();
    EXPECT_EQ(reads.load(), 0);
    EXPECT_EQ(window.Size(), 0u);
}

TEST(SpeedMeter, AFailedPostIsSkippedAndAFailedWaitEndsTheMeter) {
    // Refuses every other post.
    class FlakyWindow final : public MessageTarget {
    public:
        void Post(AppEvent event) override {
            if (refuse_) {
                refuse_ = false;
                throw std::runtime_error("queue full");
            }
            refuse_ = true;
            queue.Post(std::move(event));
        }
        MessageQueue queue;

    private:
        bool refuse_ = true;  // only the meter's thread posts
    };

    FlakyWindow window;
    ManualTicks ticks;
    std::atomic<int> reads{0};
    SpeedMeter meter(window, [&reads] { return ++reads == 1 ? uint64_t{30} : uint64_t{90}; },
                     {kNeverDue, ticks.AsWait()});
    meter.Start();
    ticks.Tick();  // 30, refused
    // The first tick is taken before the second is given, or the two would make one sample.
    ASSERT_TRUE(WaitFor([&reads] { return reads.load() == 1; }));
    ticks.Tick();  // mean of 30 and 90, posted: the refused sample still counts
    EXPECT_EQ(NextSample(window.queue), 60u);
    meter.Stop();
    EXPECT_EQ(window.queue.Size(), 0u);

    MessageQueue quiet;
    SpeedMeter broken(quiet, [] { return uint64_t{1}; },
                      {kNeverDue, [](Event&) -> bool { throw std::runtime_error("wait failed"); }});
    broken.Start();
    EXPECT_TRUE(broken.StoppedEvent().Wait(static_cast<uint32_t>(kLimit.count())));
    broken.Stop();
    EXPECT_EQ(quiet.Size(), 0u);

    // A source that throws ends the thread with its error, and still says it stopped.
    Event stop(true, false);
    Event stopped(true, false);
    ManualTicks once;
    BackgroundThread thread;
    thread.Start([&](Event&) {
        SpeedMeterThread(quiet, []() -> uint64_t { throw std::runtime_error("table gone"); }, stop,
                         stopped, {kNeverDue, once.AsWait()});
    });
    once.Tick();
    EXPECT_TRUE(stopped.Wait(static_cast<uint32_t>(kLimit.count())));
    thread.Join();
    EXPECT_TRUE(thread.Failure());
    EXPECT_EQ(quiet.Size(), 0u);
}

}  // namespace
