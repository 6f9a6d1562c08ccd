#include "api/RequestExecutor.h"

#include "engine/Curl.h"
#include "engine/StoppableTransfer.h"

namespace {

// Idle handles kept for reuse: the request thread, the sign-in thread and the up to four helpers
// that fetch a game's chunk-index links at once each keep their connection for the next request.
constexpr size_t kMaxIdleHandles = 6;

}  // namespace

struct RequestExecutor::Handle {
    CurlEasy easy;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    std::string body;
    size_t limit = 0;
    bool tooLarge = false;
    // Holds the handle's kept-alive connection between requests.
    StoppableTransfer transfer;

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
    if (!handle->easy || !handle->transfer.Usable()) {
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
    handle->errorBuffer[0] = '\0';
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());

    const StoppableTransfer::Result run = handle->transfer.Run(easy, stop);
    result.code = run.code;
    if (result.code == CURLE_OK) {
        result.outcome = HttpResult::Outcome::Response;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &result.status);
        result.body = std::move(handle->body);
    } else if (run.stopped) {
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
