#pragma once
// The store API client. Owns the OAuth credentials (guarded by their own lock and handed to the
// signer as one consistent copy), the parsed API connection (base path and origin) and the HTTPS
// request executor. ExecuteRequest runs on the manager's request and sign-in threads, possibly
// at the same time; it never touches a window. The only process-wide state it writes is the
// "VelkDownloader: InternetProblemReported" event.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "api/OAuth.h"
#include "api/RequestExecutor.h"

class DownloadInfo;
class Event;
class FileInfo;

class ConnectionsManager {
public:
    static constexpr std::u16string_view kInternetProblemEventName =
        u"VelkDownloader: InternetProblemReported";
    // Characters of a reply that the log lines quote.
    static constexpr size_t kLogExcerptLength = 50;

    ConnectionsManager();
    virtual ~ConnectionsManager();
    ConnectionsManager(const ConnectionsManager&) = delete;
    ConnectionsManager& operator=(const ConnectionsManager&) = delete;

    // A consistent copy of token, token secret and verifier, taken under the credentials lock.
    OAuthCredentials Credentials() const;
    void SetCredentials(const OAuthCredentials& credentials);
    // Token and secret change together; the verifier stays.
    void SetToken(const std::u16string& token, const std::u16string& tokenSecret);
    void SetVerifier(const std::u16string& verifier);

    // Parses the API base URL into the server to talk to and the base path ("/" for a URL that
    // is only a scheme and a host). No connection is opened up front: the executor connects on
    // the first request and keeps the connection alive. False when the URL can't be parsed.
    // Called once, before the threads that send requests start.
    bool Connect();
    const std::u16string& BasePath() const { return basePath_; }

    // Signs and sends GET basePath + path with the raw query parameters ("a=1&b=2"), reads the
    // whole reply and classifies it. True for an HTTP status below 400 (a redirect is not
    // followed and counts as a success); otherwise false with the body, or an error text, in
    // `reply`. A network failure also sets the internet-problem event.
    virtual bool ExecuteRequest(const std::u16string& path, const std::u16string& query,
                                std::u16string& reply);

    // The per-user data folder (chunk indexes, ".data/" images); set before the threads start.
    void SetDataFolder(const std::u16string& folder);
    std::u16string DataFolder() const;

    // True once shutting down has begun: calls return before sending anything.
    bool IsTerminating() const { return terminating_.load(); }

    // --- Store API calls; they run on the manager's request thread. ---
    // The game's title, icon (fetched into ".data/" once) and installer files.
    bool FetchGameDetails(const std::u16string& name, std::u16string& reply, DownloadInfo& info);
    // The content server's link for installer file `id` of game `name`.
    bool FetchFileLink(std::u16string& link, std::u16string& reply, const std::u16string& name,
                       int64_t id);
    // The content server's link for that file's chunk index.
    bool FetchChunkIndexLink(std::u16string& link, std::u16string& reply,
                             const std::u16string& name, uint32_t id);
    // Fetches the chunk index at `link` into the data folder and reads it into `file`.
    bool DownloadChunkIndex(const std::u16string& link, FileInfo& file,
                            const std::u16string& recordFolder);

    // Lowers the reply size limit (tests); RequestExecutor::kDefaultMaxReplyBytes otherwise.
    void SetMaxReplyBytes(size_t limit) { executor_.SetMaxReplyBytes(limit); }

protected:
    std::atomic<bool> terminating_{false};

private:
    bool Fail(const std::u16string& requestPath, std::u16string& reply, std::u16string text);

    mutable std::mutex credentialsLock_;
    OAuthCredentials credentials_;  // guarded by credentialsLock_

    // Set by Connect before any request thread starts; read-only afterwards.
    std::u16string basePath_;
    std::string origin_;  // "https://host[:port]" in UTF-8, empty until Connect succeeded

    mutable std::mutex dataFolderLock_;
    std::u16string dataFolder_;  // guarded by dataFolderLock_

    RequestExecutor executor_;
    std::shared_ptr<Event> internetProblemReported_;
};

// The user-facing reason in a refused game-details reply (the store's "403 Forbidden" page), or
// nothing when the reply is not that page.
std::optional<std::u16string> ForbiddenMessage(const std::u16string& reply);
