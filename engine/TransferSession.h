#pragma once
// The process's shared transfer state behind every Download:
// - the session: one CURLSH (DNS cache; TLS sessions where libcurl shares them safely between
//   threads) with its lock callbacks, counted by its users. The first user opens it, the last
//   one to leave closes it; the next user opens a new one.
// - the idle transfer handles: a curl multi + easy pair per finished transfer, kept with the
//   keep-alive connections of its multi, so that the next transfer to the same server skips
//   the TCP and TLS handshakes. They outlive a session on purpose: a worker that fetches chunks
//   one after another would otherwise reconnect for every chunk whenever it is the only one.
// Any thread may use it; a handle pair belongs to one thread between Take and Return.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/Curl.h"

class TransferSession {
public:
    // One counted use of the session. It counts even when the session could not be opened
    // (Share() is then null); destroying it gives the use up.
    class Use {
    public:
        Use() = default;
        ~Use();
        Use(Use&& other) noexcept;
        Use& operator=(Use&& other) noexcept;
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

        // Whether this object counts as a user.
        bool Counted() const { return counted_; }
        // The session's share handle; null when it could not be opened or not counted.
        CURLSH* Share() const { return share_; }

    private:
        friend class TransferSession;
        void Release();

        bool counted_ = false;
        CURLSH* share_ = nullptr;
    };

    // A multi handle with its one easy handle. The easy handle is added to the multi only while
    // a transfer runs; connections stay in the multi's cache between transfers.
    struct Handles {
        CurlMulti multi;
        CurlEasy easy;
        std::string origin;  // scheme://host:port of the last transfer, to find it again
    };

    // Counts a new user, opening the session first when there is none.
    static Use Enter();

    // An idle pair, preferably one that last talked to `origin`, else a new one; null when
    // libcurl can't make one. The easy handle comes with no options set beyond the defaults.
    static std::unique_ptr<Handles> TakeHandles(const std::string& origin);
    // Gives a pair back once its easy handle is out of the multi; it is reset and detached from
    // the session before it is stored, so it holds nothing of the transfer that used it.
    static void ReturnHandles(std::unique_ptr<Handles> handles);

    // For tests and diagnostics.
    static int UserCount();
    static bool IsOpen();
    static uint64_t SessionsOpened();  // sessions opened since the process started
    static size_t IdleHandleCount();
    // Closes every idle pair and its connections (tests that need fresh connections).
    static void DropIdleHandles();

    // The scheme, host and port part of a URL ("https://host:port"), used to match handles.
    static std::string OriginOf(const std::string& url);
};
