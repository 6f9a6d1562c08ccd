#include "app/LoaderThread.h"

#include "engine/ChunkIndex.h"

LoaderThread::LoaderThread(MessageTarget& target, std::u16string dataFolder)
    : target_(target), dataFolder_(std::move(dataFolder)) {}

LoaderThread::~LoaderThread() {
    Stop();
}

void LoaderThread::Start() {
    thread_.Start([this](Event& stop) { Run(stop); });
}

void LoaderThread::Enqueue(const DownloadInfo& record) {
    auto copy = std::make_unique<DownloadInfo>();
    copy->CopyFrom(record);
    std::lock_guard lock(queueLock_);
    queue_.push_back(std::move(copy));
    queueNotEmpty_.Set();
}

void LoaderThread::Stop() {
    thread_.RequestStop();
    thread_.Join();
}

std::unique_ptr<DownloadInfo> LoaderThread::TakeFirst() {
    std::lock_guard lock(queueLock_);
    if (queue_.empty()) {
        queueNotEmpty_.Reset();
        return nullptr;
    }
    std::unique_ptr<DownloadInfo> first = std::move(queue_.front());
    queue_.pop_front();
    if (queue_.empty()) {
        queueNotEmpty_.Reset();
    }
    return first;
}

void LoaderThread::Run(Event& stop) {
    for (;;) {
        // The stop event first: when both are set, quitting wins over the rest of the queue.
        if (WaitAny({&stop, &queueNotEmpty_}) == 0) {
            return;
        }
        std::unique_ptr<DownloadInfo> copy = TakeFirst();
        if (!copy) {
            continue;
        }
        const bool read = LoadChunkIndexes(*copy, dataFolder_);
        auto payload = std::make_unique<LocalDetails>();
        payload->gameName = copy->name;
        payload->info = std::move(copy);
        target_.Post(MakeMessage(WM_APP_LOCAL_DETAILS, std::move(payload), read ? 1 : 0));
    }
}
