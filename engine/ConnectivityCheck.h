#pragma once
// Whether the program is online. `connectionCkeckThread` runs on one background thread owned by
// the downloads manager: it checks the store's web site, keeps the two state events it is handed
// opposite to each other, posts ConnectionStatus to the main window on every change, and
// sleeps until a stop or a reported internet problem (or, while offline, the retry delay) before
// checking again. It never touches a window or a record; only this thread changes the state
// events once they exist, while any thread may set the problem event.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/AppEvent.h"
#include "engine/Curl.h"
#include "engine/StoppableTransfer.h"
#include "platform/Event.h"

// The path of the web site's status page, after SiteBaseUrl().
inline constexpr char16_t kSiteStatusPath[] = u"/en/downloader/status/";

// The three manual-reset events that the check thread, the download engine and the API client
// share; made by whoever builds them and passed to each. Holding a copy keeps them alive.
struct ConnectivityEvents {
    std::shared_ptr<Event> noInternet;             // set while offline
    std::shared_ptr<Event> connectionEstablished;  // set while online
    std::shared_ptr<Event> problemReported;        // set by any request or transfer that failed
};

// Three fresh events in their starting states: offline, no problem reported. The check thread
// starts from there, so its first success is seen as a change.
ConnectivityEvents CreateConnectivityEvents();

// One reachability check: true when the store's web site answered. Runs on the check thread only.
using ConnectivityProbe = std::function<bool()>;

struct ConnectivityCheckOptions {
    // How long to wait for the stop event before checking again, while offline and after a
    // reported problem while online.
    uint32_t retryDelayMs = 5000;
    // Empty: a SiteStatusProbe. Tests put a fake here.
    ConnectivityProbe probe;
};

// The thread procedure, keeping `events` (which must outlive it). Runs until `stop` is set, which
// it notices at once while online and within the retry delay while offline; a check under way when
// it is set is abandoned without changing the state. Sets `exited` when it returns, on every path.
// Returns 0.
int connectionCkeckThread(MessageTarget& window, const ConnectivityEvents& events, Event& stop,
                          Event& exited, ConnectivityCheckOptions options = {});

// The real check: a GET of the site's status page (SiteBaseUrl() + kSiteStatusPath), online when
// the site answers at all, whatever the HTTP status; only a transport or TLS failure is offline.
// One curl handle serves every check, so a kept-alive connection is reused. A check cut short by
// the abort event ends within about a tenth of a second, whichever step of the request it was in.
// Owned and used by one thread.
class SiteStatusProbe {
public:
    // A set `abort` event (the thread's stop event) cuts a check short; null for none.
    explicit SiteStatusProbe(const Event* abort = nullptr);
    ~SiteStatusProbe();
    SiteStatusProbe(const SiteStatusProbe&) = delete;
    SiteStatusProbe& operator=(const SiteStatusProbe&) = delete;

    bool Check();

private:
    const Event* abort_;
    StoppableTransfer transfer_;  // keeps the kept-alive connection between checks
    CurlEasy handle_;
    std::array<char, CURL_ERROR_SIZE> errorBuffer_{};
    // Whether the last check passed, so that a run of failures is logged once.
    bool lastPassed_ = true;
};
