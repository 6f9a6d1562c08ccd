#include "engine/TransferSession.h"

#include <algorithm>
#include <array>
#include <deque>
#include <mutex>
#include <utility>

namespace {

// Enough for the 20 workers and the API client's threads, each with a pair of its own.
constexpr size_t kMaxIdleHandles = 32;

// libcurl before 8.10 could race inside OpenSSL when two threads resumed the same shared TLS
// session; each handle pair still reuses its own sessions, so only the sharing waits for it.
constexpr unsigned kSafeTlsSessionSharing = 0x080A00;

struct Session {
    CurlShare share;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;
};

void LockShareData(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<Session*>(user)->locks[static_cast<size_t>(data)].lock();
}

void UnlockShareData(CURL*, curl_lock_data data, void* user) {
    static_cast<Session*>(user)->locks[static_cast<size_t>(data)].unlock();
}

struct SessionState {
    std::mutex mutex;
    int users = 0;
    std::unique_ptr<Session> session;
    uint64_t opened = 0;
};

struct HandlePool {
    std::mutex mutex;
    std::deque<std::unique_ptr<TransferSession::Handles>> idle;  // oldest first
};

// Both live for the whole process and are never destroyed: no curl call may run during static
// destruction, when other threads can still be transferring.
SessionState& State() {
    static SessionState* state = new SessionState;
    return *state;
}

HandlePool& Pool() {
    static HandlePool* pool = new HandlePool;
    return *pool;
}

std::unique_ptr<Session> OpenSession() {
    EnsureCurlInitialised();
    auto session = std::make_unique<Session>();
    session->share.reset(curl_share_init());
    if (!session->share) {
        return nullptr;
    }
    CURLSH* share = session->share.get();
    bool ok = curl_share_setopt(share, CURLSHOPT_LOCKFUNC, LockShareData) == CURLSHE_OK &&
              curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, UnlockShareData) == CURLSHE_OK &&
              curl_share_setopt(share, CURLSHOPT_USERDATA, session.get()) == CURLSHE_OK &&
              curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) == CURLSHE_OK;
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (ok && info && info->version_num >= kSafeTlsSessionSharing) {
        ok = curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK;
    }
    return ok ? std::move(session) : nullptr;
}

void CloseSession(std::unique_ptr<Session> session) {
    CURLSH* share = session->share.release();
    if (curl_share_cleanup(share) != CURLSHE_OK) {
        // A handle still points at it; its locks must stay valid for as long as it may.
        static_cast<void>(session.release());
    }
}

}  // namespace

TransferSession::Use::~Use() {
    Release();
}

TransferSession::Use::Use(Use&& other) noexcept
    : counted_(std::exchange(other.counted_, false)),
      share_(std::exchange(other.share_, nullptr)) {}

TransferSession::Use& TransferSession::Use::operator=(Use&& other) noexcept {
    if (this != &other) {
        Release();
        counted_ = std::exchange(other.counted_, false);
        share_ = std::exchange(other.share_, nullptr);
    }
    return *this;
}

void TransferSession::Use::Release() {
    if (!counted_) {
        return;
    }
    counted_ = false;
    share_ = nullptr;
    std::unique_ptr<Session> closing;
    {
        SessionState& state = State();
        std::lock_guard lock(state.mutex);
        if (--state.users == 0) {
            closing = std::move(state.session);
        }
    }
    if (closing) {
        CloseSession(std::move(closing));
    }
}

TransferSession::Use TransferSession::Enter() {
    SessionState& state = State();
    std::lock_guard lock(state.mutex);
    if (!state.session) {
        state.session = OpenSession();
        if (state.session) {
            ++state.opened;
        }
    }
    ++state.users;
    Use use;
    use.counted_ = true;
    use.share_ = state.session ? state.session->share.get() : nullptr;
    return use;
}

std::unique_ptr<TransferSession::Handles> TransferSession::TakeHandles(const std::string& origin) {
    std::unique_ptr<Handles> handles;
    {
        HandlePool& pool = Pool();
        std::lock_guard lock(pool.mutex);
        // The most recently returned pair of this origin has the freshest connection.
        auto match = std::find_if(pool.idle.rbegin(), pool.idle.rend(),
                                  [&](const auto& h) { return h->origin == origin; });
        if (match != pool.idle.rend()) {
            handles = std::move(*match);
            pool.idle.erase(std::next(match).base());
        }
    }
    if (!handles) {
        EnsureCurlInitialised();
        handles = std::make_unique<Handles>();
        handles->multi.reset(curl_multi_init());
        handles->easy.reset(curl_easy_init());
        if (!handles->multi || !handles->easy) {
            return nullptr;
        }
    }
    handles->origin = origin;
    return handles;
}

void TransferSession::ReturnHandles(std::unique_ptr<Handles> handles) {
    if (!handles || !handles->multi || !handles->easy) {
        return;
    }
    // Detached before the session may close; reset so no pointer into the finished transfer
    // (its header list, its callbacks' object) stays behind. Connections stay in the multi.
    curl_easy_setopt(handles->easy.get(), CURLOPT_SHARE, static_cast<CURLSH*>(nullptr));
    curl_easy_reset(handles->easy.get());
    std::unique_ptr<Handles> evicted;
    {
        HandlePool& pool = Pool();
        std::lock_guard lock(pool.mutex);
        pool.idle.push_back(std::move(handles));
        if (pool.idle.size() > kMaxIdleHandles) {
            evicted = std::move(pool.idle.front());
            pool.idle.pop_front();
        }
    }
}

int TransferSession::UserCount() {
    SessionState& state = State();
    std::lock_guard lock(state.mutex);
    return state.users;
}

bool TransferSession::IsOpen() {
    SessionState& state = State();
    std::lock_guard lock(state.mutex);
    return state.session != nullptr;
}

uint64_t TransferSession::SessionsOpened() {
    SessionState& state = State();
    std::lock_guard lock(state.mutex);
    return state.opened;
}

size_t TransferSession::IdleHandleCount() {
    HandlePool& pool = Pool();
    std::lock_guard lock(pool.mutex);
    return pool.idle.size();
}

void TransferSession::DropIdleHandles() {
    std::deque<std::unique_ptr<Handles>> dropped;
    {
        HandlePool& pool = Pool();
        std::lock_guard lock(pool.mutex);
        dropped.swap(pool.idle);
    }
}

std::string TransferSession::OriginOf(const std::string& url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos) {
        return url;
    }
    const size_t end = url.find_first_of("/?#", scheme + 3);
    return end == std::string::npos ? url : url.substr(0, end);
}
