#include "engine/ConnectivityCheck.h"

#include <optional>
#include <string>
#include <utility>

#include "core/DebugPrintf.h"
#include "core/Deployment.h"
#include "core/TextUtil.h"

namespace {

// The status page is a few bytes; a site that streams more is answering all the same, and
// reading on would only keep the check (and a shutdown waiting for it) busy.
constexpr size_t kMaxStatusBody = 64 * 1024;

struct Transfer {
    size_t received = 0;
    bool cutShort = false;  // the body passed kMaxStatusBody and the transfer was ended here
};

size_t DiscardBody(char*, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    transfer->received += bytes;
    if (transfer->received > kMaxStatusBody) {
        transfer->cutShort = true;
        return 0;  // anything but `bytes` ends the transfer
    }
    return bytes;
}

// The exited event is the owner's only sign that the thread is done; it must be set on every way
// out, an unexpected exception included.
class SetOnExit {
public:
    explicit SetOnExit(Event& event) : event_(event) {}
    ~SetOnExit() { event_.Set(); }
    SetOnExit(const SetOnExit&) = delete;
    SetOnExit& operator=(const SetOnExit&) = delete;

private:
    Event& event_;
};

void PostStatus(MessageTarget& window, bool online) {
    try {
        window.Post(ConnectionStatus{online});
    } catch (...) {
        // The window learns the state from the next change; the events already tell the
        // threads that depend on it.
    }
}

}  // namespace

ConnectivityEvents CreateConnectivityEvents() {
    return {std::make_shared<Event>(true, true), std::make_shared<Event>(true, false),
            std::make_shared<Event>(true, false)};
}

int connectionCkeckThread(MessageTarget& window, const ConnectivityEvents& events, Event& stop,
                          Event& exited, ConnectivityCheckOptions options) {
    SetOnExit signalExit(exited);

    std::optional<SiteStatusProbe> siteProbe;
    if (!options.probe) {
        siteProbe.emplace(&stop);
        options.probe = [&siteProbe] { return siteProbe->Check(); };
    }

    bool online = false;
    for (;;) {
        bool reachable = false;
        try {
            reachable = options.probe();
        } catch (...) {
            // A check that could not even be made is a failed one.
            reachable = false;
        }
        // A check cut short by the stop says nothing about the network; reporting it as a loss
        // of connection would flash "offline" at every shutdown.
        if (stop.IsSet()) {
            break;
        }

        if (reachable) {
            // Settled before the state is published: a thread that the news wakes and that fails
            // at once must find its report kept, not wiped by this check.
            events.problemReported->Reset();
            if (!online) {
                events.noInternet->Reset();
                events.connectionEstablished->Set();
                PostStatus(window, true);
            }
            online = true;
        } else {
            if (online) {
                events.noInternet->Set();
                events.connectionEstablished->Reset();
                PostStatus(window, false);
            }
            online = false;
        }

        if (online) {
            WaitAny({&stop, events.problemReported.get()});
        }
        if (stop.Wait(options.retryDelayMs)) {
            break;
        }
    }
    return 0;
}

SiteStatusProbe::SiteStatusProbe(const Event* abort)
    : abort_(abort), handle_(MakeCurlEasy(CurlSchemes::HttpsOnly)) {
    if (handle_) {
        curl_easy_setopt(handle_.get(), CURLOPT_ERRORBUFFER, errorBuffer_.data());
        curl_easy_setopt(handle_.get(), CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(handle_.get(), CURLOPT_WRITEFUNCTION, &DiscardBody);
    }
}

SiteStatusProbe::~SiteStatusProbe() = default;

bool SiteStatusProbe::Check() {
    const std::u16string url = SiteBaseUrl() + kSiteStatusPath;
    std::u16string failure;
    if (!handle_ || !transfer_.Usable()) {
        failure = u"no connection handle";
    } else {
        Transfer transfer;
        errorBuffer_[0] = '\0';
        curl_easy_setopt(handle_.get(), CURLOPT_URL, WideToUtf8(url).c_str());
        curl_easy_setopt(handle_.get(), CURLOPT_WRITEDATA, &transfer);
        const StoppableTransfer::Result run = transfer_.Run(handle_.get(), abort_);
        const CURLcode code = run.code;
        long status = 0;
        curl_easy_getinfo(handle_.get(), CURLINFO_RESPONSE_CODE, &status);

        if (run.stopped) {
            // Stopped from outside: neither a pass nor worth a log line.
            return false;
        }
        const bool answered = code == CURLE_OK || (code == CURLE_WRITE_ERROR && transfer.cutShort);
        if (!answered) {
            failure = Utf8ToWide(CurlErrorText(code, errorBuffer_.data()));
        } else if (status <= 0) {
            failure = u"no HTTP status in the answer";
        }
        // Any HTTP answer, 4xx and 5xx included, means the network and the site are there: a
        // maintenance page or a moved status page is no reason to stop every download.
    }

    const bool passed = failure.empty();
    if (!passed && lastPassed_) {
        Logger().Warning(u"Connection check of %s failed: %s", url, failure);
    }
    lastPassed_ = passed;
    return passed;
}
