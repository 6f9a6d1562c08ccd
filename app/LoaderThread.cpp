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
    queue_.Push(std::move(copy));
}

void LoaderThread::Stop() {
    thread_.RequestStop();
    thread_.Join();
}

void LoaderThread::Run(Event& stop) {
    for (;;) {
        // The stop event first: when both are set, quitting wins over the rest of the queue.
        if (WaitAny({&stop, &queue_.NotEmpty()}) == 0) {
            return;
        }
        std::unique_ptr<DownloadInfo> copy = queue_.TakeFirst();
        if (!copy) {
            continue;
        }
        const bool read = LoadChunkIndexes(*copy, dataFolder_);
        std::u16string name = copy->name;
        target_.Post(
            LocalDetails{.gameName = std::move(name), .read = read, .info = std::move(copy)});
    }
}
