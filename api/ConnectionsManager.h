#pragma once
// The store API client. Owns the OAuth credentials (guarded by their own lock and handed to the
// signer as one consistent copy), the parsed API connection (base path and origin), the HTTPS
// request executor, the queue of API requests and two background threads: the request thread
// (conThread), which serves the queue one task at a time (link requests first) and fetches a
// game's chunk indexes on a few short-lived helpers of its own, and the sign-in thread
// (authThread). The user-interface thread starts and stops the manager and queues requests;
// the threads never touch a window and report only by posting to the owner's MessageTarget.
// The signals it shares with the download engine (engine/EngineSignals.h) are handed to it: it
// sets and resets loggedIn, sets the internet-problem event and reads the connectivity state.
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "api/OAuth.h"
#include "api/RequestExecutor.h"
#include "core/AppEvent.h"
#include "core/TextUtil.h"
#include "engine/EngineSignals.h"
#include "platform/BackgroundThread.h"
#include "platform/Clock.h"
#include "platform/Event.h"

class ConnectionsTask;
class DownloadInfo;
class FileInfo;
struct UserDetails;

class ConnectionsManager {
public:
    // Characters of a reply that the log lines quote.
    static constexpr size_t kLogExcerptLength = 50;
    // A details request is given up after this many takes from the queue.
    static constexpr int kMaxDetailsAttempts = 10;
    // How long a fetched file link is handed out again without asking the store.
    static constexpr uint32_t kRecentLinkMs = 2000;

    // With signals of its own, which nobody else sees (offline until someone says otherwise).
    ConnectionsManager();
    // With the signals shared with the download engine and the connectivity check.
    explicit ConnectionsManager(EngineSignals shared);
    // Stops the threads if they still run. A subclass that overrides ExecuteRequest must call
    // Stop in its own destructor, while its override still exists.
    virtual ~ConnectionsManager();
    ConnectionsManager(const ConnectionsManager&) = delete;
    ConnectionsManager& operator=(const ConnectionsManager&) = delete;

    // A consistent copy of token, token secret and verifier, taken under the credentials lock.
    OAuthCredentials Credentials() const;
    void SetCredentials(const OAuthCredentials& credentials);
    // Token and secret change together; the verifier stays.
    void SetToken(const std::u16string& token, const std::u16string& tokenSecret);
    void SetVerifier(const std::u16string& verifier);

    // Parses the API base URL into the server to talk to and the base path, which ends in "/"
    // ("/" for a URL that is only a scheme and a host, "/api/v2/" for "https://host/api/v2").
    // No connection is opened up front: the executor connects on the first request and keeps the
    // connection alive. False, with an Error line saying why, when the URL can't serve
    // (ParseApiBase). Called once, before the threads that send requests start.
    bool Connect();
    const std::u16string& BasePath() const { return basePath_; }

    // Signs and sends GET basePath + path with the raw query parameters ("a=1&b=2"), reads the
    // whole reply and classifies it. True for an HTTP status below 400 (a redirect is not
    // followed and counts as a success); otherwise false with the body, or an error text, in
    // `reply`. A network failure also sets the internet-problem event.
    virtual bool ExecuteRequest(const std::u16string& path, const std::u16string& query,
                                std::u16string& reply);
    // The same with the parameters given one by one (raw values), so that a value holding "&" or
    // "=" (an e-mail address, a password) reaches the server whole. The string form parses its
    // query and comes here; a fake that overrides this one sees every request.
    virtual bool ExecuteRequest(const std::u16string& path, const ParameterMap& parameters,
                                std::u16string& reply);

    // --- Threads and the request queue (user-interface thread). ---
    // Takes the data folder, the owner that receives every posted message and the stored
    // credentials, then starts the request thread and the sign-in thread. False, with nothing
    // started, when the API address can't be parsed or the manager was started before.
    bool Start(const std::u16string& dataFolder, MessageTarget& owner, const std::u16string& token,
               const std::u16string& tokenSecret);
    // Ends the request thread, then the sign-in thread, and waits for both. Waiting threads wake
    // at once; a request in flight ends within the transfer time-outs. Safe to call twice.
    void Stop();
    // Queues a details request: title and icon (DetailsReply kind 1), then files and
    // their chunk indexes (kind 2). Retried up to kMaxDetailsAttempts times.
    void RequestDetails(const std::u16string& name, const std::u16string& folder);
    // Queues a link request for one installer file; the answer goes to worker `workerSlot` in
    // FileLink. The low half of `passThrough` is kept with the task, unread.
    void RequestLink(const std::u16string& name, uint64_t fileId, uint32_t workerSlot,
                     uint64_t passThrough);
    // Withdraws every queued or running details request of the game; nothing more is posted
    // for them.
    void CancelDetails(const std::u16string& name);
    // The time source of the link cache; call before Start.
    void SetClock(const Clock& clock) { clock_ = &clock; }

    // --- Sign-in. ---
    // Keeps the e-mail address and password and asks the sign-in thread for an attempt. A token
    // still held is tried first.
    void RequestLogin(const std::u16string& email, const std::u16string& password);
    // Forgets e-mail, password, token and secret (not the verifier) and asks for an attempt,
    // which fails at once and so signs the user out.
    void Logout();
    bool IsUserLoggedIn() const { return userLoggedIn_.IsSet(); }
    // One sign-in attempt: the stored token is proved by fetching the user's details, or, with
    // no token, e-mail and password go through the three-step OAuth flow first. On failure the
    // token and secret are emptied. Runs on the sign-in thread.
    bool AuthenticateUser(UserDetails& user);
    // The signed-in user's name, e-mail and avatars (fetched into ".data/" of the data folder).
    // False when the request fails or the reply is not a well-formed "user" description.
    bool FetchUserDetails(UserDetails& user);

    // The per-user data folder (chunk indexes, ".data/" images); set before the threads start.
    void SetDataFolder(const std::u16string& folder);
    std::u16string DataFolder() const;

    // True once shutting down has begun: calls return before sending anything.
    bool IsTerminating() const { return terminating_.load(); }
    // Set once shutting down has begun: requests and whole-file fetches in flight end at once.
    const Event& StopEvent() const { return stopRequests_; }
    // The signals it was made with; they live as long as the manager.
    const EngineSignals& Signals() const { return signals_; }

    // --- Store API calls; they run on the manager's request thread (the chunk-index link and
    // the chunk index also on its helpers, up to four files of one game at a time). ---
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
    class RequestThread;  // conThread's loop and its link cache (ConnectionsThreads.cpp)

    bool Fail(const std::u16string& requestPath, std::u16string& reply, std::u16string text);

    // The queue; each takes queueLock_ and none holds it during a request.
    void EnqueueTask(std::unique_ptr<ConnectionsTask> task);
    std::unique_ptr<ConnectionsTask> DequeueTask();
    // The oldest queued link task, taken while another task stays the current one; or nothing.
    std::unique_ptr<ConnectionsTask> DequeueLinkTask();
    // The request thread is done with the task it took: it is no longer current, and goes.
    void FinishTask(std::unique_ptr<ConnectionsTask> task);

    // The thread procedures; `terminate` and `stop` are their threads' stop events.
    void conThread(Event& terminate);
    void authThread(Event& stop);
    bool PasswordSignIn(const std::u16string& email, const std::u16string& password);
    // Fetches one avatar image whole into ".data/" under `namePart` ("/name.png"); its
    // reference, or empty when it was not fetched.
    std::u16string FetchAvatar(const std::u16string& url, const std::u16string& namePart);
    void Post(AppEvent event);

    mutable std::mutex credentialsLock_;
    OAuthCredentials credentials_;  // guarded by credentialsLock_

    // Set by Connect before any request thread starts; read-only afterwards.
    std::u16string basePath_;
    std::string origin_;  // "https://host[:port]" in UTF-8, empty until Connect succeeded

    mutable std::mutex dataFolderLock_;
    std::u16string dataFolder_;  // guarded by dataFolderLock_

    RequestExecutor executor_;
    Event stopRequests_{true, false};
    const EngineSignals signals_;
    // Short names for the signals' events.
    Event& internetProblemReported_;
    Event& userLoggedIn_;
    // Kept opposite by the connectivity check.
    Event& noInternet_;
    Event& connectionEstablished_;

    MessageTarget* owner_ = nullptr;  // set by Start before the threads run
    const Clock* clock_ = &Clock::System();

    mutable std::mutex accountLock_;
    std::u16string email_;     // guarded by accountLock_
    std::u16string password_;  // guarded by accountLock_
    Event loginRequested_{true, false};

    std::mutex queueLock_;
    std::deque<std::unique_ptr<ConnectionsTask>> tasks_;  // guarded by queueLock_
    ConnectionsTask* currentTask_ = nullptr;              // guarded by queueLock_
    Event queueNotEmpty_{true, false};                    // set while tasks_ is not empty

    // Their stop events are the terminate and sign-in stop events, their exited events the
    // threads' exited events. Last, so that nothing they use is gone while they run.
    BackgroundThread conThread_;
    BackgroundThread authThread_;
};

// The user-facing reason in a refused game-details reply (the store's "403 Forbidden" page), or
// nothing when the reply is not that page.
std::optional<std::u16string> ForbiddenMessage(const std::u16string& reply);
