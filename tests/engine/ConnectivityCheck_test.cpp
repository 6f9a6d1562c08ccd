#include "engine/ConnectivityCheck.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <future>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/MessageQueue.h"
#include "engine/EngineSignals.h"
#include "platform/BackgroundThread.h"
#include "platform/UniqueFd.h"
#include "support/LogCapture.h"
#include "support/StalledNetwork.h"
#include "support/TestStore.h"
#include "support/WaitFor.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kLimit{10000};
// Long enough that a wait of this length can't be mistaken for "at once" within kLimit.
constexpr uint32_t kNeverRetry = 60000;

enum class Net { Up, Down, Throws };

// The network as the check sees it: a scripted start, then whatever the test sets. Every check is
// recorded with its start time; Hold makes the next checks block (after being recorded) until
// Release.
class FakeNetwork {
public:
    void Script(std::deque<Net> first) {
        std::lock_guard lock(mutex_);
        script_ = std::move(first);
    }
    void Set(Net state) {
        std::lock_guard lock(mutex_);
        state_ = state;
    }
    void Hold() { gate_.Reset(); }
    void Release() { gate_.Set(); }

    size_t Checks() const {
        std::lock_guard lock(mutex_);
        return starts_.size();
    }
    std::vector<Clock::time_point> Starts() const {
        std::lock_guard lock(mutex_);
        return starts_;
    }

    ConnectivityProbe AsProbe() {
        return [this] { return Probe(); };
    }

private:
    bool Probe() {
        {
            std::lock_guard lock(mutex_);
            starts_.push_back(Clock::now());
        }
        gate_.Wait();
        Net state;
        {
            std::lock_guard lock(mutex_);
            if (!script_.empty()) {
                state = script_.front();
                script_.pop_front();
            } else {
                state = state_;
            }
        }
        if (state == Net::Throws) {
            throw std::runtime_error("resolver gone");
        }
        return state == Net::Up;
    }

    mutable std::mutex mutex_;
    std::deque<Net> script_;
    Net state_ = Net::Down;
    std::vector<Clock::time_point> starts_;
    Event gate_{true, true};
};

void ExpectOnline(const ConnectivityEvents& events, bool online) {
    EXPECT_EQ(events.connectionEstablished->IsSet(), online);
    EXPECT_EQ(events.noInternet->IsSet(), !online);
}

// The online flag of the next status event (1 online, 0 offline); nullopt when none came or it
// was something else.
std::optional<uint64_t> NextStatus(MessageQueue& window) {
    std::optional<AppEvent> event = window.Take(kLimit);
    const ConnectionStatus* status = event ? std::get_if<ConnectionStatus>(&*event) : nullptr;
    if (status == nullptr) {
        return std::nullopt;
    }
    return status->online ? 1 : 0;
}

// Lets `span` pass. Used only before asserting that something did NOT happen: too short a pause
// can let a fault slip through, never fail a sound implementation.
void LetTimePass(milliseconds span) {
    std::this_thread::sleep_for(span);
}

class ConnectivityCheckTest : public ::testing::Test {
protected:
    void TearDown() override {
        network_.Release();
        thread_.RequestStop();
        thread_.Join();
    }

    void Start(uint32_t retryDelayMs) {
        ConnectivityCheckOptions options;
        options.retryDelayMs = retryDelayMs;
        options.probe = network_.AsProbe();
        thread_.Start([this, options](Event& stop) {
            EXPECT_EQ(connectionCkeckThread(window_, events_, stop, exited_, options), 0);
        });
    }

    // Check n has begun, so everything check n-1 led to (events, message) is done.
    bool WaitForChecks(size_t n) {
        return WaitFor([&] { return network_.Checks() >= n; }, kLimit);
    }

    MessageQueue window_;
    Event exited_{true, false};
    FakeNetwork network_;
    ConnectivityEvents events_ = CreateConnectivityEvents();
    // Last, so it is stopped and joined before anything it uses goes away.
    BackgroundThread thread_;
};

TEST_F(ConnectivityCheckTest, OfflineAtStartPostsNothingAndRechecksAtTheRetryInterval) {
    constexpr uint32_t kRetry = 50;
    Start(kRetry);
    ASSERT_TRUE(WaitForChecks(4));
    EXPECT_EQ(window_.Size(), 0u);
    ExpectOnline(events_, false);
    const auto starts = network_.Starts();
    for (size_t i = 1; i < starts.size(); ++i) {
        EXPECT_GE(starts[i] - starts[i - 1], milliseconds(kRetry)) << "check " << i;
    }
}

class FirstSuccessTest : public ConnectivityCheckTest,
                         public ::testing::WithParamInterface<size_t> {};

TEST_P(FirstSuccessTest, PostsOnlineOnceAndFlipsBothEvents) {
    const size_t failuresFirst = GetParam();
    network_.Script(std::deque<Net>(failuresFirst, Net::Down));
    network_.Set(Net::Up);
    events_.problemReported->Set();  // a report from before the start is settled by the success
    Start(20);
    ASSERT_EQ(NextStatus(window_), 1u);
    ExpectOnline(events_, true);
    EXPECT_EQ(network_.Checks(), failuresFirst + 1);
    ASSERT_TRUE(WaitFor([&] { return !events_.problemReported->IsSet(); }, kLimit));
    // Online and nothing reported: no further check and no further message.
    LetTimePass(milliseconds(200));
    EXPECT_EQ(network_.Checks(), failuresFirst + 1);
    EXPECT_EQ(window_.Size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(RightAtStartOrAfterFailures, FirstSuccessTest, ::testing::Values(0u, 2u));

TEST_F(ConnectivityCheckTest, ProblemWhileStillOnlineRechecksSilentlyAfterTheDelay) {
    constexpr uint32_t kRetry = 80;
    network_.Set(Net::Up);
    Start(kRetry);
    ASSERT_EQ(NextStatus(window_), 1u);

    for (size_t report = 1; report <= 2; ++report) {
        const auto reportedAt = Clock::now();
        events_.problemReported->Set();
        ASSERT_TRUE(WaitForChecks(report + 1));
        ASSERT_TRUE(WaitFor([&] { return !events_.problemReported->IsSet(); }, kLimit));
        EXPECT_GE(network_.Starts()[report] - reportedAt, milliseconds(kRetry));
        ExpectOnline(events_, true);
    }
    EXPECT_EQ(network_.Checks(), 3u);
    EXPECT_EQ(window_.Size(), 0u);
}

TEST_F(ConnectivityCheckTest, FailedCheckPostsOfflineOnceAndLaterFailuresNothing) {
    network_.Set(Net::Up);
    Start(20);
    ASSERT_EQ(NextStatus(window_), 1u);

    network_.Set(Net::Down);
    events_.problemReported->Set();
    ASSERT_EQ(NextStatus(window_), 0u);
    ExpectOnline(events_, false);

    // Failures of either kind while offline: rechecked at the interval, reported never.
    network_.Set(Net::Throws);
    const size_t before = network_.Checks();
    ASSERT_TRUE(WaitForChecks(before + 3));
    network_.Set(Net::Down);
    ASSERT_TRUE(WaitForChecks(before + 5));
    EXPECT_EQ(window_.Size(), 0u);
    ExpectOnline(events_, false);
    // Only a success settles a reported problem.
    EXPECT_TRUE(events_.problemReported->IsSet());

    network_.Set(Net::Up);
    ASSERT_EQ(NextStatus(window_), 1u);
    ExpectOnline(events_, true);
    ASSERT_TRUE(WaitFor([&] { return !events_.problemReported->IsSet(); }, kLimit));
}

TEST_F(ConnectivityCheckTest, ThrowingFirstCheckIsAnOfflineStart) {
    network_.Script({Net::Throws});
    network_.Set(Net::Up);
    Start(20);
    ASSERT_EQ(NextStatus(window_), 1u);
    EXPECT_EQ(network_.Checks(), 2u);
}

class StopTest : public ConnectivityCheckTest, public ::testing::WithParamInterface<Net> {};

// Online the thread waits on the stop event itself; offline it notices it in the retry wait. Either
// way, with a retry delay far beyond the limit, it must end long before the next check.
TEST_P(StopTest, EndsWithoutAnotherCheck) {
    const bool up = GetParam() == Net::Up;
    network_.Set(GetParam());
    Start(kNeverRetry);
    ASSERT_TRUE(WaitForChecks(1));
    if (up) {
        ASSERT_EQ(NextStatus(window_), 1u);
    }
    thread_.RequestStop();
    ASSERT_TRUE(exited_.Wait(static_cast<uint32_t>(kLimit.count())));
    thread_.Join();
    EXPECT_EQ(network_.Checks(), 1u);
    EXPECT_EQ(window_.Size(), 0u);
    ExpectOnline(events_, up);
}

INSTANTIATE_TEST_SUITE_P(OnlineOrOffline, StopTest, ::testing::Values(Net::Up, Net::Down));

// A check that the shutdown interrupts fails for that reason alone; it must not be reported as
// the network going away.
TEST_F(ConnectivityCheckTest, StopDuringACheckLeavesTheStateAlone) {
    network_.Set(Net::Up);
    Start(20);
    ASSERT_EQ(NextStatus(window_), 1u);

    network_.Hold();
    events_.problemReported->Set();
    ASSERT_TRUE(WaitForChecks(2));
    network_.Set(Net::Down);
    thread_.RequestStop();
    network_.Release();
    ASSERT_TRUE(exited_.Wait(static_cast<uint32_t>(kLimit.count())));
    thread_.Join();
    EXPECT_EQ(window_.Size(), 0u);
    ExpectOnline(events_, true);
}

TEST(ConnectivityEventsTest, FreshEventsAreManualResetInTheStartingStates) {
    const ConnectivityEvents events = CreateConnectivityEvents();
    for (const auto& event :
         {events.noInternet, events.connectionEstablished, events.problemReported}) {
        EXPECT_TRUE(event->IsManualReset());
    }
    ExpectOnline(events, false);
    EXPECT_FALSE(events.problemReported->IsSet());
}

// Two engines in one process keep their own state: a set made later is not the earlier one and
// does not put it back into the starting states.
TEST(ConnectivityEventsTest, EachSetIsItsOwn) {
    const EngineSignals first = MakeEngineSignals();
    first.loggedIn->Set();
    first.connectivity.noInternet->Reset();
    first.connectivity.connectionEstablished->Set();
    first.connectivity.problemReported->Set();

    const EngineSignals second = MakeEngineSignals();
    EXPECT_TRUE(second.loggedIn->IsManualReset());
    EXPECT_FALSE(second.loggedIn->IsSet());
    ExpectOnline(second.connectivity, false);
    EXPECT_FALSE(second.connectivity.problemReported->IsSet());

    EXPECT_TRUE(first.loggedIn->IsSet());
    ExpectOnline(first.connectivity, true);
    EXPECT_TRUE(first.connectivity.problemReported->IsSet());
}

// ---- The real check, against loopback servers of the test's own ----------------------------

// Restores the named environment variables when it goes; tests change them only while no other
// thread of theirs reads the environment.
class SavedEnv {
public:
    SavedEnv(std::initializer_list<const char*> names) {
        for (const char* name : names) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
    }
    ~SavedEnv() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name, value->c_str(), 1);
            } else {
                unsetenv(name);
            }
        }
    }
    SavedEnv(const SavedEnv&) = delete;
    SavedEnv& operator=(const SavedEnv&) = delete;

private:
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

// A loopback TCP socket bound to a free port: listening (connections are accepted by the kernel
// and then never answered) or not (connections are refused).
class LoopbackSocket {
public:
    explicit LoopbackSocket(bool listening) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof(address);
        if (!fd_ || bind(fd_.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            (listening && listen(fd_.Get(), 4) != 0)) {
            throw std::runtime_error("loopback socket");
        }
        port_ = ntohs(address.sin_port);
    }

    std::string Url() const { return "https://127.0.0.1:" + std::to_string(port_); }

private:
    UniqueFd fd_;
    int port_ = 0;
};

TEST(SiteStatusProbeTest, RefusedPortIsOffline) {
    LoopbackSocket closed(false);
    SavedEnv saved{"VELKDOWNLOADER_SITE_URL"};
    setenv("VELKDOWNLOADER_SITE_URL", closed.Url().c_str(), 1);
    SiteStatusProbe probe;
    EXPECT_FALSE(probe.Check());
    EXPECT_FALSE(probe.Check());  // the same handle, after a failure
}

// A site that takes the connection and never answers would hold the check for the whole connect
// time-out; the stop event must cut that short.
TEST(SiteStatusProbeTest, StopCutsAHangingCheckShort) {
    LoopbackSocket silent(true);
    SavedEnv saved{"VELKDOWNLOADER_SITE_URL"};
    setenv("VELKDOWNLOADER_SITE_URL", silent.Url().c_str(), 1);
    Event stop(true, true);
    SiteStatusProbe probe(&stop);
    auto result = std::async(std::launch::async, [&] { return probe.Check(); });
    ASSERT_EQ(result.wait_for(std::chrono::milliseconds(kConnectTimeoutMs / 2)),
              std::future_status::ready);
    EXPECT_FALSE(result.get());
}

// A stop while the network holds the check in its name lookup, its connect or its TLS handshake
// ends it within a second, as a check that says nothing (no log line), not as a failed one.
class SiteStatusProbeStopTest : public ::testing::TestWithParam<const char*> {
protected:
    void TearDown() override { ReleaseStalledLookups(); }
};

TEST_P(SiteStatusProbeStopTest, StopEndsTheCheckWithinASecond) {
    const std::string step = GetParam();
    std::optional<StalledListener> listener;
    std::string site = "https://" + StalledLookupHost();
    if (step != "name_lookup") {
        listener.emplace(step == "tcp_connect" ? StalledListener::Step::kConnect
                                               : StalledListener::Step::kHandshake);
        site = listener->Url();
    }
    SavedEnv saved{"VELKDOWNLOADER_SITE_URL"};
    setenv("VELKDOWNLOADER_SITE_URL", site.c_str(), 1);
    LogCapture log;
    Event stop(true, false);
    SiteStatusProbe probe(&stop);
    Clock::time_point stopped;
    bool passed = true;
    {
        StopWhen stopper(
            stop, [&] { return step != "name_lookup" || StalledLookups() > 0; }, milliseconds(300));
        passed = probe.Check();
        stopped = stopper.SetAt();
    }
    const auto took = Clock::now() - stopped;
    std::printf("[stop] a connection check held in its %s ended %lld ms after the stop\n",
                step.c_str(),
                static_cast<long long>(std::chrono::duration_cast<milliseconds>(took).count()));
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_FALSE(passed);
    EXPECT_EQ(log.Warnings(), std::vector<std::u16string>{});
}

INSTANTIATE_TEST_SUITE_P(Steps, SiteStatusProbeStopTest,
                         ::testing::Values("name_lookup", "tcp_connect", "tls_handshake"),
                         [](const auto& param) { return std::string(param.param); });

// ---- The real check against the local test store ----------------------------------------------

class ConnectivityStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        store_.UseInEnvironment();
        store_.SetSiteUp(false);
    }

    // The request log's status of a request the store left unanswered.
    static constexpr int kUnanswered = 0;

    // Status-page requests the store answered with `status`.
    size_t StatusRequests(int status) const {
        size_t count = 0;
        for (const StoreRequest& request : store_.Requests()) {
            if (request.server == "site" && request.path == "/en/downloader/status/" &&
                request.status == status) {
                ++count;
            }
        }
        return count;
    }
    bool WaitForStatusRequests(int status, size_t count) {
        return WaitFor([&] { return StatusRequests(status) >= count; }, kLimit);
    }

    SavedEnv savedEnv_{"VELKDOWNLOADER_API_URL", "VELKDOWNLOADER_SITE_URL",
                       "VELKDOWNLOADER_CA_FILE"};
    TestStore store_;
};

TEST_F(ConnectivityStoreTest, ThreadFollowsTheStatusPageAndReportsOnlyChanges) {
    const ConnectivityEvents events = CreateConnectivityEvents();
    MessageQueue window;
    Event exited(true, false);
    BackgroundThread thread;
    ConnectivityCheckOptions options;
    options.retryDelayMs = 50;
    thread.Start(
        [&](Event& stop) { connectionCkeckThread(window, events, stop, exited, options); });

    // The site closes every connection unanswered: offline from the start, nothing posted. A
    // third request means the first two checks are fully judged.
    ASSERT_TRUE(WaitForStatusRequests(kUnanswered, 3));
    EXPECT_EQ(window.Size(), 0u);
    ExpectOnline(events, false);

    store_.SetSiteUp(true);
    ASSERT_EQ(NextStatus(window), 1u);
    ExpectOnline(events, true);

    store_.SetSiteUp(false);
    const size_t refusedBefore = StatusRequests(kUnanswered);
    events.problemReported->Set();
    ASSERT_EQ(NextStatus(window), 0u);
    ExpectOnline(events, false);

    ASSERT_TRUE(WaitForStatusRequests(kUnanswered, refusedBefore + 3));
    EXPECT_EQ(window.Size(), 0u);

    thread.RequestStop();
    ASSERT_TRUE(exited.Wait(static_cast<uint32_t>(kLimit.count())));
}

TEST_F(ConnectivityStoreTest, ProbeReusesItsConnection) {
    SiteStatusProbe probe;
    EXPECT_FALSE(probe.Check());  // unanswered
    store_.SetSiteUp(true);
    EXPECT_TRUE(probe.Check());
    EXPECT_TRUE(probe.Check());
    EXPECT_TRUE(probe.Check());

    std::vector<int> connections;
    for (const StoreRequest& request : store_.Requests()) {
        if (request.server == "site" && request.status == 200) {
            connections.push_back(request.connection);
        }
    }
    ASSERT_EQ(connections.size(), 3u);
    EXPECT_EQ(connections[1], connections[0]);
    EXPECT_EQ(connections[2], connections[0]);
}

// Whatever the status page answers, the site is there: only a failure to get an answer at all
// means offline. An error status must not stop every download (a maintenance page, a status
// page that moved).
TEST_F(ConnectivityStoreTest, AnyHttpAnswerIsOnlineAndOnlyNoAnswerIsOffline) {
    struct Case {
        const char* label;
        const char* fault;  // armed for one request; empty: the plain answer
        bool siteUp;
        bool online;
    };
    const Case cases[] = {
        {"200", "", true, true},
        {"404 moved page", R"({"server":"site","status":404})", true, true},
        {"403 refused", R"({"server":"site","status":403})", true, true},
        {"500 error", R"({"server":"site","status":500})", true, true},
        {"503 maintenance", R"({"server":"site","status":503})", true, true},
        {"302 to elsewhere", R"({"server":"site","status":302,"redirect":"/x"})", true, true},
        {"unanswered", "", false, false},
    };
    SiteStatusProbe probe;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        store_.ClearFaults();
        store_.SetSiteUp(c.siteUp);
        if (*c.fault != '\0') {
            store_.SetFault(c.fault);
        }
        EXPECT_EQ(probe.Check(), c.online);
    }
}

// The check thread with a site that answers 503 goes online and stays so.
TEST_F(ConnectivityStoreTest, ThreadStaysOnlineWhileTheSiteAnswersWithErrors) {
    store_.SetSiteUp(true);
    store_.SetFault(R"({"server":"site","status":503,"fail_next":-1})");
    const ConnectivityEvents events = CreateConnectivityEvents();
    MessageQueue window;
    Event exited(true, false);
    BackgroundThread thread;
    ConnectivityCheckOptions options;
    options.retryDelayMs = 50;
    thread.Start(
        [&](Event& stop) { connectionCkeckThread(window, events, stop, exited, options); });

    ASSERT_EQ(NextStatus(window), 1u);
    ExpectOnline(events, true);
    // Reported problems lead to new checks, each answered 503: no change is posted.
    for (size_t round = 1; round <= 2; ++round) {
        const size_t before = StatusRequests(503);
        events.problemReported->Set();
        ASSERT_TRUE(WaitForStatusRequests(503, before + 1));
        ASSERT_TRUE(WaitFor([&] { return !events.problemReported->IsSet(); }, kLimit));
    }
    EXPECT_EQ(window.Size(), 0u);
    ExpectOnline(events, true);

    thread.RequestStop();
    ASSERT_TRUE(exited.Wait(static_cast<uint32_t>(kLimit.count())));
}

}  // namespace
