#include "platform/Event.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/WaitFor.h"

namespace {

// Long enough that only a lost wake-up runs into it.
constexpr uint32_t kHang = 10000;

TEST(EventTest, ManualResetStaysSetUntilReset) {
    Event event(true, false);
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.IsSet());
    event.Reset();
    EXPECT_FALSE(event.IsSet());
    EXPECT_FALSE(event.Wait(5));
}

TEST(EventTest, AutoResetIsConsumedByOneWaitButNotByAPeek) {
    Event event(false, true);
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.IsSet());
    EXPECT_FALSE(event.Wait(5));
    event.Set();
    event.Set();  // signals don't add up
    event.Wait();
    EXPECT_FALSE(event.Wait(0));
}

TEST(EventTest, NamedEventIsSharedAndFirstCreatorsParametersWin) {
    auto first = Event::Named(u"VelkDownloader: User logged in", true, false);
    auto second = Event::Named(u"VelkDownloader: User logged in", false, true);
    ASSERT_EQ(first, second);
    EXPECT_TRUE(second->IsManualReset());
    EXPECT_FALSE(second->IsSet());
    first->Set();
    EXPECT_TRUE(second->Wait(0));
    EXPECT_TRUE(second->Wait(0));  // still manual reset

    auto other = Event::Named(u"BreakCurrentTaskEvent:3", true, false);
    EXPECT_NE(other, first);
    EXPECT_FALSE(other->IsSet());
    // Names are matched exactly.
    EXPECT_NE(Event::Named(u"breakcurrenttaskevent:3", true, false), other);
}

TEST(EventTest, NamedEventLivesWhileAnyoneHoldsIt) {
    const std::u16string name = u"Some game details";
    auto creator = Event::Named(name, true, false);
    auto keeper = Event::Named(name, false, false);
    creator->Set();
    creator.reset();
    // The keeper still holds the first event: same object, still set.
    auto again = Event::Named(name, false, false);
    EXPECT_EQ(again, keeper);
    EXPECT_TRUE(again->IsSet());

    std::weak_ptr<Event> watch = keeper;
    keeper.reset();
    again.reset();
    EXPECT_TRUE(watch.expired());
    // Nobody holds it any more: the name now makes a new event with the new parameters.
    auto fresh = Event::Named(name, false, true);
    EXPECT_FALSE(fresh->IsManualReset());
    EXPECT_TRUE(fresh->Wait(0));
    EXPECT_FALSE(fresh->IsSet());
}

TEST(EventTest, NamedFromManyThreadsAtOnceGivesOneEvent) {
    constexpr int kThreads = 8;
    std::array<std::shared_ptr<Event>, kThreads> got;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&got, i] {
            got[static_cast<std::size_t>(i)] =
                Event::Named(u"VelkDownloader: NoInternetConnectionEvent", true, i == 0);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (const auto& event : got) {
        EXPECT_EQ(event, got[0]);
    }
}

TEST(WaitAnyTest, LowestSetIndexWinsAndOnlyItIsConsumed) {
    Event manual(true, false);
    Event autoA(false, false);
    Event autoB(false, false);

    autoA.Set();
    autoB.Set();
    EXPECT_EQ(WaitAny({&manual, &autoA, &autoB}, 0), 1u);
    EXPECT_FALSE(autoA.IsSet());
    EXPECT_TRUE(autoB.IsSet());  // set, but not the one returned: untouched
    EXPECT_EQ(WaitAny({&manual, &autoA, &autoB}, 0), 2u);
    EXPECT_FALSE(autoB.IsSet());

    manual.Set();
    autoB.Set();
    EXPECT_EQ(WaitAny({&manual, &autoA, &autoB}, 0), 0u);
    EXPECT_EQ(WaitAny({&manual, &autoA, &autoB}, 0), 0u);
    EXPECT_TRUE(autoB.IsSet());
}

TEST(WaitAnyTest, TimesOutWhenNothingIsSet) {
    Event a(true, false);
    Event b(false, false);
    EXPECT_EQ(WaitAny({&a, &b}, 0), kWaitTimeout);
    EXPECT_EQ(WaitAny({&a, &b}, 20), kWaitTimeout);
    // A wait that timed out leaves nothing behind: the events work on as before.
    b.Set();
    EXPECT_EQ(WaitAny({&a, &b}, 0), 1u);
}

TEST(WaitAnyTest, SameEventTwiceInOneWait) {
    Event a(false, false);
    Event b(true, false);
    std::atomic<std::size_t> result{kWaitTimeout - 1};
    std::thread waiter([&] { result = WaitAny({&a, &b, &a}, kHang); });
    b.Set();
    waiter.join();
    EXPECT_EQ(result.load(), 1u);
    a.Set();
    EXPECT_EQ(WaitAny({&b, &a, &a}, 0), 0u);
    EXPECT_EQ(WaitAny({&a, &a}, 0), 0u);
    EXPECT_EQ(WaitAny({&a, &a}, 0), kWaitTimeout);
}

TEST(WaitAnyTest, SetFromAnotherThreadWakesABlockedWaiter) {
    Event stop(true, false);
    Event work(false, false);
    std::atomic<std::size_t> result{kWaitTimeout - 1};
    std::thread waiter([&] { result = WaitAny({&stop, &work}, std::nullopt); });
    // It must be waiting, not returning by itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(result.load(), kWaitTimeout - 1);
    work.Set();
    EXPECT_TRUE(WaitFor([&] { return result.load() == 1u; }));
    waiter.join();
    EXPECT_FALSE(work.IsSet());
}

// Two threads hand a token back and forth through two auto-reset events: a wake-up lost anywhere
// makes one side wait for kHang and the test fail.
TEST(WaitAnyTest, PingPongLosesNoWakeUp) {
    constexpr int kRounds = 5000;
    Event ping(false, false);
    Event pong(false, false);
    Event unrelated(true, false);
    std::atomic<int> missed{0};
    std::thread other([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (WaitAny({&unrelated, &ping}, kHang) != 1u) {
                ++missed;
                return;
            }
            pong.Set();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        ping.Set();
        if (!pong.Wait(kHang)) {
            ++missed;
            break;
        }
    }
    other.join();
    EXPECT_EQ(missed.load(), 0);
}

// Several consumers wait on one auto-reset event together with a shared stop event; some with
// short time-outs, so waiters come and go while Sets happen. Each Set must be taken by exactly
// one of them.
TEST(WaitAnyTest, EachAutoResetSignalIsTakenExactlyOnceAmongManyWaiters) {
    constexpr int kConsumers = 6;
    constexpr int kSignals = 2000;
    Event stop(true, false);
    Event work(false, false);
    Event taken(false, false);
    std::atomic<int> takes{0};
    std::vector<std::thread> consumers;
    for (int c = 0; c < kConsumers; ++c) {
        const std::optional<uint32_t> timeout =
            c % 2 == 0 ? std::nullopt : std::optional<uint32_t>(1);
        consumers.emplace_back([&, timeout] {
            for (;;) {
                const std::size_t which = WaitAny({&stop, &work}, timeout);
                if (which == 0) {
                    return;
                }
                if (which == 1) {
                    ++takes;
                    taken.Set();
                }
            }
        });
    }
    int acknowledged = 0;
    for (int i = 0; i < kSignals; ++i) {
        work.Set();
        if (!taken.Wait(kHang)) {
            break;
        }
        ++acknowledged;
    }
    stop.Set();
    for (auto& consumer : consumers) {
        consumer.join();
    }
    EXPECT_EQ(acknowledged, kSignals);
    EXPECT_EQ(takes.load(), kSignals);
}

// One manual-reset event shared by many WaitAny calls, each also waiting on an event of its own:
// a single Set releases every one of them, round after round.
TEST(WaitAnyTest, OneSetReleasesEveryWaiterOfASharedEvent) {
    constexpr int kWaiters = 8;
    constexpr int kRounds = 100;
    std::array<Event, kWaiters> own{Event(true, false), Event(true, false), Event(true, false),
                                    Event(true, false), Event(true, false), Event(true, false),
                                    Event(true, false), Event(true, false)};
    std::array<std::unique_ptr<Event>, kRounds> go;
    for (auto& event : go) {
        event = std::make_unique<Event>(true, false);
    }
    std::atomic<int> released{0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> waiters;
    for (std::size_t w = 0; w < kWaiters; ++w) {
        waiters.emplace_back([&, w] {
            for (auto& event : go) {
                if (WaitAny({&own[w], event.get()}, kHang) != 1u) {
                    ++wrong;
                }
                ++released;
            }
        });
    }
    for (int round = 0; round < kRounds; ++round) {
        go[static_cast<std::size_t>(round)]->Set();
        ASSERT_TRUE(WaitFor([&] { return released.load() == (round + 1) * kWaiters; }));
    }
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

// Setters and resetters race with waiters that share the same events. Whatever the interleaving,
// an auto-reset event is never taken more often than it was set, and the stop ends everyone.
TEST(WaitAnyTest, ConcurrentSetResetAndWaitNeverTakesASignalTwice) {
    constexpr int kWaiters = 4;
    constexpr int kSetsEach = 3000;
    Event stop(true, false);
    Event autoA(false, false);
    Event manual(true, false);
    Event autoB(false, false);
    std::atomic<int> takenA{0};
    std::atomic<int> takenB{0};
    std::atomic<int> outOfRange{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kWaiters; ++t) {
        threads.emplace_back([&] {
            for (;;) {
                switch (WaitAny({&stop, &autoA, &manual, &autoB}, 2)) {
                    case 0:
                        return;
                    case 1:
                        ++takenA;
                        break;
                    case 3:
                        ++takenB;
                        break;
                    case 2:
                        // Let the resetter get a word in, else index 3 would starve.
                        manual.Wait(1);
                        break;
                    case kWaitTimeout:
                        break;
                    default:
                        ++outOfRange;
                }
            }
        });
    }
    std::thread setterA([&] {
        for (int i = 0; i < kSetsEach; ++i) {
            autoA.Set();
        }
    });
    std::thread setterB([&] {
        for (int i = 0; i < kSetsEach; ++i) {
            autoB.Set();
            if (i % 4 == 0) {
                manual.Set();
            } else if (i % 4 == 2) {
                manual.Reset();
            }
        }
        manual.Reset();
    });
    setterA.join();
    setterB.join();
    // The last signals of each are taken or still pending; either way the waiters drain them.
    ASSERT_TRUE(WaitFor([&] { return !autoA.IsSet() && !autoB.IsSet(); }));
    stop.Set();
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_GT(takenA.load(), 0);
    EXPECT_GT(takenB.load(), 0);
    EXPECT_LE(takenA.load(), kSetsEach);
    EXPECT_LE(takenB.load(), kSetsEach);
    EXPECT_EQ(outOfRange.load(), 0);
}

TEST(WaitAnyTest, EmptyListIsRefused) {
    EXPECT_THROW(WaitAny(std::span<Event* const>(), 0), std::invalid_argument);
}

}  // namespace
