#include "api/RequestExecutor.h"

#include "engine/Curl.h"
#include "platform/Event.h"

namespace {

// Idle handles kept for reuse. The manager sends from two threads; a few more cost little.
constexpr size_t kMaxIdleHandles = 4;

}  // namespace

struct RequestExecutor::Handle {
    CurlEasy easy;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    std::string body;
    size_t limit = 0;
    bool tooLarge = false;
    const Event* stop = nullptr;
    bool stopped = false;

    static size_t Append(char* data, size_t size, size_t count, void* userData) {
        auto* self = static_cast<Handle*>(userData);
        const size_t length = size * count;
        if (length > self->limit - self->body.size()) {
            self->tooLarge = true;
            return 0;  // anything short of `length` makes libcurl abandon the transfer
        }
        // The bytes are kept as they come and decoded once at the end, so a character split
        // between two deliveries is decoded whole.
        self->body.append(data, length);
        return length;
    }

    // libcurl calls this at least about once a second, also while nothing arrives.
    static int Progress(void* userData, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        auto* self = static_cast<Handle*>(userData);
        if (self->stop != nullptr && self->stop->IsSet()) {
            self->stopped = true;
            return 1;  // non-zero abandons the transfer
        }
        return 0;
    }
};

RequestExecutor::RequestExecutor() = default;
RequestExecutor::~RequestExecutor() = default;

std::unique_ptr<RequestExecutor::Handle> RequestExecutor::Take() {
    {
        std::lock_guard lock(poolLock_);
        if (!idle_.empty()) {
            std::unique_ptr<Handle> handle = std::move(idle_.back());
            idle_.pop_back();
            return handle;
        }
    }
    auto handle = std::make_unique<Handle>();
    handle->easy = MakeCurlEasy(CurlSchemes::HttpsOnly);
    if (!handle->easy) {
        return nullptr;
    }
    CURL* easy = handle->easy.get();
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent);
    // The request target goes out exactly as built; its signature covers it.
    curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, handle->errorBuffer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Handle::Append);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, handle.get());
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Handle::Progress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, handle.get());
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    return handle;
}

void RequestExecutor::Give(std::unique_ptr<Handle> handle) {
    handle->body.clear();
    handle->body.shrink_to_fit();
    std::lock_guard lock(poolLock_);
    if (idle_.size() < kMaxIdleHandles) {
        idle_.push_back(std::move(handle));
    }
}

HttpResult RequestExecutor::Get(const std::string& url, const Event* stop) {
    HttpResult result;
    std::unique_ptr<Handle> handle = Take();
    if (!handle) {
        result.code = CURLE_FAILED_INIT;
        result.errorText = CurlErrorText(result.code);
        return result;
    }
    CURL* easy = handle->easy.get();
    handle->body.clear();
    handle->limit = maxReplyBytes_.load();
    handle->tooLarge = false;
    handle->stop = stop;
    handle->stopped = false;
    handle->errorBuffer[0] = '\0';
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());

    result.code = curl_easy_perform(easy);
    if (result.code == CURLE_OK) {
        result.outcome = HttpResult::Outcome::Response;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &result.status);
        result.body = std::move(handle->body);
    } else if (handle->stopped) {
        result.outcome = HttpResult::Outcome::Stopped;
    } else if (handle->tooLarge) {
        result.outcome = HttpResult::Outcome::TooLarge;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &result.status);
    } else {
        result.outcome = HttpResult::Outcome::TransportFailure;
        result.errorText = CurlErrorText(result.code, handle->errorBuffer);
    }
    Give(std::move(handle));
    return result;
}
