#include "micro/LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

bool SendAll(int fd, const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = send(fd, bytes, size, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

LoopbackServer::LoopbackServer(std::vector<uint8_t> content) : content_(std::move(content)) {
    listener_.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!listener_ || bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_.Get(), 64) != 0 ||
        getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
}

LoopbackServer::~LoopbackServer() {
    stopping_ = true;
    shutdown(listener_.Get(), SHUT_RDWR);
    acceptor_.join();
    listener_.Reset();
    {
        std::lock_guard lock(mutex_);
        for (const UniqueFd& fd : fds_) {
            shutdown(fd.Get(), SHUT_RDWR);
        }
    }
    for (std::thread& connection : connections_) {
        connection.join();
    }
    fds_.clear();  // closed once no connection thread uses them
}

std::string LoopbackServer::Url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/content.bin";
}

void LoopbackServer::Accept() {
    while (!stopping_) {
        const int fd = accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        std::lock_guard lock(mutex_);
        fds_.emplace_back(fd);
        connections_.emplace_back([this, fd] { Serve(fd); });
    }
}

void LoopbackServer::Serve(int fd) {
    std::string pending;
    char buffer[4096];
    while (!stopping_) {
        const size_t end = pending.find("\r\n\r\n");
        if (end == std::string::npos) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return;
            }
            pending.append(buffer, static_cast<size_t>(n));
            continue;
        }
        const std::string head = Lower(pending.substr(0, end));
        pending.erase(0, end + 4);
        const bool headOnly = head.rfind("head ", 0) == 0;
        uint64_t first = 0;
        uint64_t last = content_.size() - 1;
        if (const size_t at = head.find("\nrange:"); at != std::string::npos) {
            const size_t equals = head.find('=', at);
            char* after = nullptr;
            first = std::strtoull(head.c_str() + equals + 1, &after, 10);
            if (after != nullptr && *after == '-' &&
                std::isdigit(static_cast<unsigned char>(after[1]))) {
                last = std::min<uint64_t>(last, std::strtoull(after + 1, nullptr, 10));
            }
        }
        const uint64_t count = last >= first ? last - first + 1 : 0;
        char header[256];
        const int length = std::snprintf(
            header, sizeof header,
            "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes %llu-%llu/%zu\r\n"
            "Content-Length: %llu\r\n\r\n",
            static_cast<unsigned long long>(first), static_cast<unsigned long long>(last),
            content_.size(), static_cast<unsigned long long>(count));
        if (!SendAll(fd, header, static_cast<size_t>(length)) ||
            (!headOnly && !SendAll(fd, content_.data() + first, count))) {
            return;
        }
    }
}
