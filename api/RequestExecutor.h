#pragma once
// The HTTPS side of the API client: sends one GET and reads the whole reply, on libcurl easy
// handles kept in a small pool so that consecutive requests reuse their keep-alive connection.
// Owned by ConnectionsManager; its request thread, its sign-in thread and the helpers that fetch
// a game's chunk indexes may send at the same time (each takes its own handle out of the pool;
// the pool's lock is never held during a transfer). It knows nothing of OAuth, status
// classification or logging.
#include <curl/curl.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class Event;

struct HttpResult {
    enum class Outcome {
        Response,          // a complete HTTP response: status and body below
        TransportFailure,  // no complete response: connect, TLS, time-out, read failure
        TooLarge,          // the body passed the size limit; the transfer was abandoned
        Stopped,           // the caller's stop event was set; the transfer was abandoned
    };
    Outcome outcome = Outcome::TransportFailure;
    long status = 0;
    std::string body;  // the raw bytes of the body
    CURLcode code = CURLE_OK;
    std::string errorText;  // libcurl's text for a transport failure (UTF-8)
};

class RequestExecutor {
public:
    // A reply larger than this is refused, so a hostile or broken server can't make us hold an
    // unbounded amount of memory. The API's XML replies are a few kilobytes.
    static constexpr size_t kDefaultMaxReplyBytes = 16u * 1024u * 1024u;
    static constexpr const char* kUserAgent = "VelkDownloader/0.9.0.1336";

    RequestExecutor();
    ~RequestExecutor();
    RequestExecutor(const RequestExecutor&) = delete;
    RequestExecutor& operator=(const RequestExecutor&) = delete;

    // Sends a GET for `url` (already encoded, ready for the wire) and reads the whole body.
    // Setting `stop` (null for none) abandons the transfer within about a tenth of a second, in
    // any step of the request (name lookup, connect, TLS handshake, answer), however slowly the
    // network or the server answers.
    HttpResult Get(const std::string& url, const Event* stop = nullptr);

    void SetMaxReplyBytes(size_t limit) { maxReplyBytes_.store(limit); }
    size_t MaxReplyBytes() const { return maxReplyBytes_.load(); }

private:
    struct Handle;
    std::unique_ptr<Handle> Take();
    void Give(std::unique_ptr<Handle> handle);

    std::mutex poolLock_;
    std::vector<std::unique_ptr<Handle>> idle_;  // guarded by poolLock_; last in, first out
    std::atomic<size_t> maxReplyBytes_{kDefaultMaxReplyBytes};
};
