#pragma once
// The requests queued for the connections manager's request thread: a game's details or one
// installer file's download link. Made on the user-interface thread, owned by the manager's queue
// and then by the request thread alone; the only part another thread touches afterwards is a
// details task's cancel event (through event calls, never a plain flag).
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Event.h"

class ConnectionsTask {
public:
    enum Kind : uint32_t { kLink = 0, kDetails = 1 };

    virtual ~ConnectionsTask() = default;
    ConnectionsTask(const ConnectionsTask&) = delete;
    ConnectionsTask& operator=(const ConnectionsTask&) = delete;

    const uint32_t kind;
    const std::u16string gameName;
    // Times the request thread took the task from the queue; written by that thread only.
    int16_t attempts = 0;
    // Copied from a link request; not read.
    uint32_t passThrough = 0;
    // Details tasks: set while this request is still wanted. Link tasks: none.
    std::shared_ptr<Event> cancelEvent;

protected:
    ConnectionsTask(uint32_t taskKind, std::u16string name)
        : kind(taskKind), gameName(std::move(name)) {}
};

class RequestDetailsTask final : public ConnectionsTask {
public:
    // Each request has its own cancel event: withdrawing a removed game's request must not
    // also withdraw the request of the same game added again while the old one still lives.
    RequestDetailsTask(std::u16string name, std::u16string downloadFolder)
        : ConnectionsTask(kDetails, std::move(name)), folder(std::move(downloadFolder)) {
        cancelEvent = std::make_shared<Event>(true, true);
    }

    const std::u16string folder;  // the record's download folder
};

class RequestLinkTask final : public ConnectionsTask {
public:
    RequestLinkTask(std::u16string name, int64_t file, uint32_t slot)
        : ConnectionsTask(kLink, std::move(name)), fileId(file), workerSlot(slot) {}

    const int64_t fileId;
    std::u16string link;  // empty until found
    const uint32_t workerSlot;
};
