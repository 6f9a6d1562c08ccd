#pragma once
// Runs an easy handle's transfer to its end, as curl_easy_perform does, but on a multi handle of
// its own, so that a stop event is looked at every kStopLookMs in every step of the request: the
// name lookup, the TCP connect, the TLS handshake, the wait for the answer and its body.
// (curl_easy_perform lets a progress callback look only about once a second while nothing
// arrives, so a stop could take more than a second on a network that drops packets.) The multi
// keeps the connections of finished transfers, so the next transfer to the same server reuses
// them. Owned by whoever owns the easy handles it runs; one thread at a time.
#include <curl/curl.h>

#include "engine/Curl.h"

class Event;

class StoppableTransfer {
public:
    static constexpr int kStopLookMs = 100;

    struct Result {
        CURLcode code = CURLE_OK;  // CURLE_ABORTED_BY_CALLBACK when stopped
        bool stopped = false;      // the stop event ended it, not the network or the server
    };

    StoppableTransfer();
    // False when libcurl could not make the multi handle; Run then fails at once.
    bool Usable() const { return multi_ != nullptr; }

    // Performs `easy`, set up as for curl_easy_perform, until it ends or `stop` (null for none)
    // is set. The handle is out of the multi again when this returns, also when stopped, and
    // taking it out never waits for a name lookup (see CURLOPT_QUICK_EXIT in engine/Curl.cpp).
    Result Run(CURL* easy, const Event* stop);

private:
    CurlMulti multi_;
};
