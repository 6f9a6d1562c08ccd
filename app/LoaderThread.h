#pragma once
// The loader thread: reads the stored chunk indexes of listed records in the background and
// answers each with LocalDetails (read set when the indexes were read), carrying the filled
// copy. It owns its queue of copies and its thread; it never touches the listed records.
// Enqueue, Start and Stop belong to the user-interface thread; the body runs on its own thread.
#include <memory>
#include <string>

#include "app/LifecycleServices.h"
#include "core/AppEvent.h"
#include "core/DownloadInfo.h"
#include "platform/BackgroundThread.h"
#include "platform/Event.h"
#include "platform/WorkQueue.h"

class LoaderThread final : public ItemLoader {
public:
    // `target` must outlive the thread (Stop, or the destructor, ends it).
    LoaderThread(MessageTarget& target, std::u16string dataFolder);
    ~LoaderThread() override;
    LoaderThread(const LoaderThread&) = delete;
    LoaderThread& operator=(const LoaderThread&) = delete;

    void Start();
    void Enqueue(const DownloadInfo& record) override;
    // Sets the stop event and waits for the thread's end; copies still queued are dropped.
    void Stop() override;

private:
    void Run(Event& stop);

    MessageTarget& target_;
    const std::u16string dataFolder_;
    WorkQueue<DownloadInfo> queue_;
    // Last: it ends (and joins) before the queue and the event it uses go.
    BackgroundThread thread_;
};
