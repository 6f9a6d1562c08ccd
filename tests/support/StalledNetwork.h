#pragma once
// A network that drops packets, on loopback and without privileges, for tests of how a stop
// ends a request stuck in one step of it:
// - StalledListener(kConnect): a listener whose accept queue is full and never emptied, so the
//   kernel drops every further SYN and a connect stays in SYN_SENT until its time-out;
// - StalledListener(kHandshake): the kernel completes the TCP handshake, but nobody ever reads
//   or answers, so a TLS ClientHello waits for ever;
// - StalledLookupHost(): a host name whose lookup blocks until ReleaseStalledLookups. The test
//   program's own getaddrinfo (in StalledNetwork.cpp) stands before the C library's for that
//   name, so libcurl's resolver thread really sits in the lookup, as it does while a DNS server
//   drops its queries; every other name goes to the C library.
// StopWhen sets a stop event from a thread of its own once the request has got that far.
// Used from the test thread; the lookups may block on any thread.
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/UniqueFd.h"

class Event;

class StalledListener {
public:
    enum class Step { kConnect, kHandshake };

    explicit StalledListener(Step step);  // throws std::runtime_error when it can't be set up
    ~StalledListener();
    StalledListener(const StalledListener&) = delete;
    StalledListener& operator=(const StalledListener&) = delete;

    std::string Url(const std::string& scheme = "https") const;  // scheme://127.0.0.1:port

private:
    UniqueFd listener_;
    UniqueFd filler_;  // the one connection that fills the accept queue (kConnect)
    int port_ = 0;
};

// A name under the reserved .test domain whose lookup stalls.
std::string StalledLookupHost();
// Lookups of it that are blocked now.
int StalledLookups();
// Ends every blocked lookup (with EAI_AGAIN) and waits until none is left blocked. A lookup
// that nobody releases gives up by itself after 20 s.
void ReleaseStalledLookups();

// Sets `stop` once `ready` holds (looked at every few milliseconds) and at least `after` has
// passed, from a thread of its own; `ready` gives up after 10 s and the stop is set all the
// same. Joined on destruction.
class StopWhen {
public:
    StopWhen(Event& stop, std::function<bool()> ready,
             std::chrono::milliseconds after = std::chrono::milliseconds(0));
    ~StopWhen();
    StopWhen(const StopWhen&) = delete;
    StopWhen& operator=(const StopWhen&) = delete;

    // When the stop was set; waits for it.
    std::chrono::steady_clock::time_point SetAt();

private:
    std::chrono::steady_clock::time_point setAt_;
    std::thread thread_;
};
