#pragma once
// The installer check thread: before a downloaded installer is started, the lifecycle has it read
// whole and compared with the file's digest from its chunk index, so that nothing is started that
// changed on disk since it was downloaded (a game completed in an earlier run, a file replaced or
// damaged meanwhile). Reading a game-sized file takes seconds, hence a thread of its own; each
// check is answered with InstallerChecked.
// Check, Start and Stop belong to the user-interface thread; the checks run on the thread.
#include <functional>
#include <memory>
#include <string>

#include "app/LifecycleServices.h"
#include "core/AppEvent.h"
#include "platform/BackgroundThread.h"
#include "platform/Event.h"
#include "platform/WorkQueue.h"

class InstallerCheckThread final : public InstallerChecks {
public:
    // `target` must outlive the thread (Stop, or the destructor, ends it).
    explicit InstallerCheckThread(MessageTarget& target);
    ~InstallerCheckThread() override;
    InstallerCheckThread(const InstallerCheckThread&) = delete;
    InstallerCheckThread& operator=(const InstallerCheckThread&) = delete;

    void Start();
    void Check(const std::u16string& gameName, const std::u16string& path,
               const std::u16string& expectedDigest) override;
    // Sets the stop event and waits for the thread's end; queued checks are dropped unanswered.
    void Stop() override;

    // One check, on the calling thread: the file is opened without following a symbolic link,
    // read to its end and digested; it passes when the digest matches and neither the open file
    // nor the path changed while it was read. `proceed` is asked between blocks; no means the
    // check did not pass. `progress`, when given, hears the bytes read so far after each block.
    static void Run(InstallerCheck& check, const std::function<bool()>& proceed,
                    const std::function<void(uint64_t)>& progress = {});

private:
    void Loop(Event& stop);

    MessageTarget& target_;
    WorkQueue<InstallerCheck> queue_;
    // Last: it ends (and joins) before the queue and the event it uses go.
    BackgroundThread thread_;
};
