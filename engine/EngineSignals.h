#pragma once
// The manual-reset events that the download engine and the API client share: whether the user is
// signed in, and the connectivity events. Whoever builds both parts makes one set and hands a copy
// to each; nobody finds them by name. A copy holds the same events and keeps them alive, so the
// parts may end in any order. Any thread may use the events; see each one for who sets it.
#include <memory>

#include "engine/ConnectivityCheck.h"
#include "platform/Event.h"

struct EngineSignals {
    // Set while the user is signed in: set and reset by the API client's sign-in thread; the
    // download workers and the API request thread wait for it.
    std::shared_ptr<Event> loggedIn;
    ConnectivityEvents connectivity;
};

// Fresh events in their starting states: not signed in, offline, no problem reported.
EngineSignals MakeEngineSignals();
