#pragma once
// A minimal HTTP/1.1 server on loopback for the transfer micro-benchmark: it answers every GET
// with the asked byte range of one buffer held in memory (206 and Content-Range), keeping the
// connection alive, so that the benchmark measures the client's loop and not a server's disk.
// One thread accepts, one thread per connection answers; the destructor stops and joins them.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/UniqueFd.h"

class LoopbackServer {
public:
    explicit LoopbackServer(std::vector<uint8_t> content);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // "http://127.0.0.1:<port>/content.bin"
    std::string Url() const;
    const std::vector<uint8_t>& Content() const { return content_; }

private:
    void Accept();
    void Serve(int fd);

    std::vector<uint8_t> content_;
    UniqueFd listener_;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::thread> connections_;
    std::vector<UniqueFd> fds_;
};
