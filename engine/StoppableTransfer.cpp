#include "engine/StoppableTransfer.h"

#include "platform/Event.h"

namespace {

// With nothing to stop for, libcurl's own timers decide when to look again; this only bounds
// the wait, as curl_easy_perform does.
constexpr int kIdlePollMs = 1000;

}  // namespace

StoppableTransfer::StoppableTransfer() {
    EnsureCurlInitialised();
    multi_.reset(curl_multi_init());
}

StoppableTransfer::Result StoppableTransfer::Run(CURL* easy, const Event* stop) {
    Result result;
    const auto stopRequested = [stop] { return stop != nullptr && stop->IsSet(); };
    if (stopRequested()) {
        result.code = CURLE_ABORTED_BY_CALLBACK;
        result.stopped = true;
        return result;
    }
    if (!multi_ || curl_multi_add_handle(multi_.get(), easy) != CURLM_OK) {
        result.code = CURLE_FAILED_INIT;
        return result;
    }
    CURLM* multi = multi_.get();
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            // The multi handle itself broke: nothing more will come.
            result.code = CURLE_RECV_ERROR;
            break;
        }
        bool done = false;
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                done = true;
                result.code = message->data.result;
            }
        }
        if (done) {
            break;
        }
        if (stopRequested()) {
            result.code = CURLE_ABORTED_BY_CALLBACK;
            result.stopped = true;
            break;
        }
        if (curl_multi_poll(multi, nullptr, 0, stop != nullptr ? kStopLookMs : kIdlePollMs,
                            nullptr) != CURLM_OK) {
            result.code = CURLE_RECV_ERROR;
            break;
        }
    }
    // A transfer taken out before its end closes its connection; a finished one leaves it in
    // the multi's cache.
    curl_multi_remove_handle(multi, easy);
    return result;
}
