#pragma once
// The single-instance hand-off between a second process and the first instance of the program:
//   token  - a named semaphore of value 0 or 1, standing for an auto-reset event that starts
//            signalled; a sender takes it, the first instance's window gives it back;
//   block  - named shared memory of exactly kHandOffBlockSize bytes holding one command line as
//            zero-terminated UTF-16;
//   notify - a named semaphore the sender posts once the block is written; a listener thread of
//            the first instance waits on it and tells the window.
// Names carry the user id and a short hash of the runtime folder, so the objects of two users,
// or of two separate test homes on one machine, never meet (POSIX names are machine-wide, not
// per runtime folder). Objects are created 0600: other users can neither read nor inject. Objects
// of another user, or open to others, are never used: the first instance moves to names of its
// own (see HandOffNames.h), and a sender refuses them.
#include <semaphore.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "platform/HandOffNames.h"

inline constexpr size_t kHandOffBlockSize = 10240;

// The command line a block holds: its UTF-16 units (in the machine's byte order) up to the first
// zero unit, or all of them when a sender left no terminator.
std::u16string HandOffBlockText(std::span<const uint8_t, kHandOffBlockSize> block);

enum class HandOffSendResult {
    Delivered,  // the block holds our command line and the first instance was told
    TimedOut,   // the token didn't come back in time: the command line is dropped, silently
    NoToken,    // the token or notify semaphore can't be opened (no first instance) or isn't ours
    NoMapping,  // the block can't be opened or isn't ours
    NoView,     // the block can't be mapped
};

// The message a second instance shows for a failed send; empty for Delivered and TimedOut.
std::u16string HandOffErrorText(HandOffSendResult result);

// Sender side, run by a second instance on its start-up thread: takes the token (waiting at most
// `wait`), writes the command line into the block - cut to fit, terminator included, never past
// the block - and posts notify. When it took the token but could not deliver, it gives the token
// back, so that later senders aren't all left to time out.
HandOffSendResult SendHandOff(std::u16string_view commandLine, std::chrono::milliseconds wait,
                              const HandOffNames& names = HandOffNames::ForCurrentUser());

// Receiver side, owned by the first instance (which must hold the instance lock, so nobody else
// can be creating the same names). Create and Start on the start-up thread; the listener thread
// calls the callback once per notify; ReadBlock and ReturnToken are for the window's thread.
// The destructor stops the listener and removes the named objects.
class HandOffReceiver {
public:
    // Removes objects left by a crashed run and creates all three afresh under the usual names;
    // when someone else holds one of those, under tagged names that it records for later starts.
    // nullptr on failure. Briefly sets the process's umask, so call it before other threads
    // create files.
    static std::unique_ptr<HandOffReceiver> Create();
    ~HandOffReceiver();
    HandOffReceiver(const HandOffReceiver&) = delete;
    HandOffReceiver& operator=(const HandOffReceiver&) = delete;

    // Starts the listener (once). Notifies posted before this are delivered after it.
    void Start(std::function<void()> onMessage);
    // Stops and joins the listener; prompt, idempotent.
    void Stop();
    // The names it made (the usual ones unless it had to move aside).
    const HandOffNames& Names() const { return names_; }

    // The block as a zero-terminated UTF-16 string, bounded by the block's size.
    std::u16string ReadBlock() const;
    // Gives the token back, as setting an auto-reset event would: a token that is already
    // available stays a single token.
    void ReturnToken();

private:
    explicit HandOffReceiver(HandOffNames names);
    // All three objects under exactly these names; nullptr when one can't be made.
    static std::unique_ptr<HandOffReceiver> CreateNamed(const HandOffNames& names);
    void Run();

    HandOffNames names_;
    bool recorded_ = false;   // the names' tag is recorded in the runtime folder
    bool blockMade_ = false;  // the block is ours to remove
    sem_t* token_ = SEM_FAILED;
    sem_t* notify_ = SEM_FAILED;
    void* view_ = nullptr;
    std::function<void()> onMessage_;
    std::atomic<bool> stopping_{false};
    std::thread listener_;
};
