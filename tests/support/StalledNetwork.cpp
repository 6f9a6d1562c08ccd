#include "support/StalledNetwork.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "platform/Event.h"
#include "support/WaitFor.h"

namespace {

constexpr char kStalledHost[] = "stalled-lookup.velkdownloader.test";
constexpr auto kLookupGivesUp = std::chrono::seconds(20);

struct LookupGate {
    std::mutex mutex;
    std::condition_variable changed;
    int blocked = 0;
    unsigned releases = 0;  // counts ReleaseStalledLookups calls
};

LookupGate& Gate() {
    // Never destroyed: a resolver thread left behind may still look at it during exit.
    static LookupGate* gate = new LookupGate;
    return *gate;
}

int StallLookup() {
    LookupGate& gate = Gate();
    std::unique_lock lock(gate.mutex);
    const unsigned release = gate.releases;
    ++gate.blocked;
    gate.changed.notify_all();
    gate.changed.wait_for(lock, kLookupGivesUp, [&] { return gate.releases != release; });
    --gate.blocked;
    gate.changed.notify_all();
    return EAI_AGAIN;
}

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

}  // namespace

extern "C" int getaddrinfo(const char* __restrict node, const char* __restrict service,
                           const struct addrinfo* __restrict hints,
                           struct addrinfo** __restrict result) noexcept {
    if (node != nullptr && std::strcmp(node, kStalledHost) == 0) {
        return StallLookup();
    }
    using Lookup = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
    static const auto next = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
    return next != nullptr ? next(node, service, hints, result) : EAI_SYSTEM;
}

StalledListener::StalledListener(Step step) {
    listener_.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof(address);
    // A backlog of 0 holds one connection: the filler's. The kernel drops the SYNs after it.
    const int backlog = step == Step::kConnect ? 0 : 16;
    if (!listener_ || bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        listen(listener_.Get(), backlog) != 0) {
        throw std::runtime_error("stalled listener: no loopback socket");
    }
    port_ = ntohs(address.sin_port);
    if (step == Step::kConnect) {
        filler_.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in target = Loopback(port_);
        if (!filler_ || connect(filler_.Get(), reinterpret_cast<const sockaddr*>(&target),
                                sizeof(target)) != 0) {
            throw std::runtime_error("stalled listener: the accept queue can't be filled");
        }
    }
}

StalledListener::~StalledListener() {
    filler_.Reset();  // the filler before the listener it is queued on
    listener_.Reset();
}

std::string StalledListener::Url(const std::string& scheme) const {
    return scheme + "://127.0.0.1:" + std::to_string(port_);
}

std::string StalledLookupHost() {
    return kStalledHost;
}

int StalledLookups() {
    LookupGate& gate = Gate();
    std::lock_guard lock(gate.mutex);
    return gate.blocked;
}

void ReleaseStalledLookups() {
    LookupGate& gate = Gate();
    std::unique_lock lock(gate.mutex);
    ++gate.releases;
    gate.changed.notify_all();
    gate.changed.wait_for(lock, std::chrono::seconds(10), [&] { return gate.blocked == 0; });
}

StopWhen::StopWhen(Event& stop, std::function<bool()> ready, std::chrono::milliseconds after)
    : thread_([this, &stop, ready = std::move(ready), after] {
          const auto start = std::chrono::steady_clock::now();
          WaitFor(ready);
          std::this_thread::sleep_until(start + after);
          setAt_ = std::chrono::steady_clock::now();
          stop.Set();
      }) {}

StopWhen::~StopWhen() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::chrono::steady_clock::time_point StopWhen::SetAt() {
    if (thread_.joinable()) {
        thread_.join();
    }
    return setAt_;
}
