// The connections manager's two threads and its request queue: Start and Stop, the queue calls of
// the user-interface thread, and the request thread that serves link and details tasks.
#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "api/ConnectionsManager.h"
#include "api/ConnectionsTask.h"
#include "api/OrderedParallelJobs.h"
#include "core/AppEvent.h"
#include "core/DebugFlags.h"
#include "core/DebugPrintf.h"
#include "core/DownloadInfo.h"
#include "core/FileInfo.h"
#include "core/Saturating.h"

namespace {

// Why a details request ended early; thrown and caught inside the details task.
struct CannotFetchGameInfo {
    enum Code { kRefused = 1, kRequestFailed = 2, kCancelled = 3 };
    std::u16string message;
    int code = kRequestFailed;
};

// With debug bit 0 the content server's unprotected paths are used.
void RewriteForDebug(std::u16string& link) {
    if ((DebugFlags() & kDebugOpenLinks) == 0) {
        return;
    }
    static constexpr std::u16string_view kSecure = u"/secure/";
    static constexpr std::u16string_view kOpen = u"/open/";
    for (size_t at = link.find(kSecure); at != std::u16string::npos;
         at = link.find(kSecure, at + kOpen.size())) {
        link.replace(at, kSecure.size(), kOpen);
    }
}

// Each index fetch is two requests that mostly wait on the network; a few at once hide most of
// that wait without opening many connections to the store.
constexpr size_t kMaxIndexFetchThreads = 4;

// Files that share an index file (the same name twice in one reply) must not write it at the
// same time: such a game's indexes are fetched one after another, as they always were.
size_t IndexFetchThreads(const std::vector<FileInfo>& files) {
    std::set<std::u16string_view> names;
    for (const FileInfo& file : files) {
        if (!names.insert(file.name).second) {
            return 1;
        }
    }
    return kMaxIndexFetchThreads;
}

using TaskQueue = std::deque<std::unique_ptr<ConnectionsTask>>;

TaskQueue::iterator FirstLink(TaskQueue& tasks) {
    return std::find_if(tasks.begin(), tasks.end(),
                        [](const auto& queued) { return queued->kind == ConnectionsTask::kLink; });
}

// Takes the task at `at` out of the queue; `notEmpty` is reset when nothing is left.
std::unique_ptr<ConnectionsTask> TakeOut(TaskQueue& tasks, TaskQueue::iterator at,
                                         Event& notEmpty) {
    std::unique_ptr<ConnectionsTask> task = std::move(*at);
    tasks.erase(at);
    if (tasks.empty()) {
        notEmpty.Reset();
    }
    return task;
}

}  // namespace

// conThread: one task at a time, link requests before details requests and each kind in queue
// order, while the user is signed in and the store is reachable. Owns the link cache; everything
// else it shares goes through the manager's queue calls and events.
class ConnectionsManager::RequestThread {
public:
    RequestThread(ConnectionsManager& manager, Event& terminate)
        : manager_(manager), terminate_(terminate) {}

    void Run() {
        for (;;) {
            if (WaitAny({&terminate_, &manager_.queueNotEmpty_}) != 1) {
                return;
            }
            if (WaitAny({&terminate_, &manager_.userLoggedIn_}) == 0) {
                return;
            }
            if (WaitAny({&terminate_, &manager_.connectionEstablished_}) == 0) {
                return;
            }
            std::unique_ptr<ConnectionsTask> task = manager_.DequeueTask();
            if (!task) {
                continue;
            }
            ++task->attempts;
            if (terminate_.IsSet()) {
                manager_.FinishTask(std::move(task));
                return;
            }
            if (manager_.noInternet_.IsSet()) {
                manager_.EnqueueTask(std::move(task));
                continue;
            }
            switch (task->kind) {
                case ConnectionsTask::kLink:
                    ServeLink(std::move(task));
                    break;
                case ConnectionsTask::kDetails:
                    ServeDetails(std::move(task));
                    break;
                default:
                    manager_.FinishTask(std::move(task));
                    break;
            }
        }
    }

private:
    struct RecentLink {
        std::u16string gameName;
        int64_t fileId = 0;
        std::u16string link;
        uint32_t fetchedAt = 0;  // tick count
    };

    void ServeLink(std::unique_ptr<ConnectionsTask> owned) {
        auto& task = static_cast<RequestLinkTask&>(*owned);
        task.link.clear();
        const auto recent = recentLinks_.find(task.fileId);
        if (recent != recentLinks_.end() && recent->second.gameName == task.gameName &&
            static_cast<uint32_t>(manager_.clock_->TickCount() - recent->second.fetchedAt) <
                kRecentLinkMs) {
            task.link = recent->second.link;
        }
        if (task.link.empty()) {
            std::u16string link;
            std::u16string reply;
            if (manager_.FetchFileLink(link, reply, task.gameName, task.fileId)) {
                RewriteForDebug(link);
                task.link = link;
                recentLinks_[task.fileId] = {task.gameName, task.fileId, link,
                                             manager_.clock_->TickCount()};
            } else {
                manager_.internetProblemReported_.Set();
            }
        }
        manager_.Post(FileLink{
            .workerSlot = task.workerSlot, .link = task.link, .passThrough = task.passThrough});
        manager_.FinishTask(std::move(owned));
    }

    void ServeWaitingLinks() {
        while (!terminate_.IsSet() && !manager_.noInternet_.IsSet()) {
            std::unique_ptr<ConnectionsTask> link = manager_.DequeueLinkTask();
            if (!link) {
                return;
            }
            ++link->attempts;
            ServeLink(std::move(link));
        }
    }

    // Title and icon come from the record; `details` goes with a final reply only.
    void PostDetails(uint32_t kind, DetailsReply::Result result, const ConnectionsTask& task,
                     const DownloadInfo& record, std::unique_ptr<DownloadInfo> details = nullptr,
                     std::u16string message = {}) {
        manager_.Post(DetailsReply{.kind = kind,
                                   .title = record.title,
                                   .iconReference = record.icon,
                                   .result = result,
                                   .gameName = task.gameName,
                                   .details = std::move(details),
                                   .message = std::move(message)});
    }

    // One file's chunk index, fetched on a helper thread into a copy of its entry; the request
    // thread takes it over in file order.
    struct IndexFetch {
        explicit IndexFetch(const FileInfo& entry) : file(entry) {}
        FileInfo file;
        std::u16string reply;  // the failed request's reply, when the link could not be had
    };

    bool FetchIndex(const DownloadInfo& record, IndexFetch& fetch) {
        std::u16string link;
        if (!manager_.FetchChunkIndexLink(link, fetch.reply, record.name, fetch.file.id)) {
            return false;
        }
        RewriteForDebug(link);
        return manager_.DownloadChunkIndex(link, fetch.file, record.folder);
    }

    // Fetches every file's chunk index, a few files at a time, and takes them into the record in
    // file order, adding up its sizes. Throws on the first file that failed, in file order.
    void FillChunkIndexes(DownloadInfo& record, const Event& wanted) {
        // Workers waiting for a link are answered before the files' requests go out.
        ServeWaitingLinks();
        std::vector<IndexFetch> fetches(record.files.begin(), record.files.end());
        OrderedParallelJobs jobs(
            fetches.size(), IndexFetchThreads(record.files),
            [&](size_t index) { return FetchIndex(record, fetches[index]); },
            [&] { return wanted.IsSet() && !terminate_.IsSet(); });
        for (size_t index = 0; index < fetches.size(); ++index) {
            // A game of many files holds the thread for a while: workers waiting for a link are
            // answered between its files.
            ServeWaitingLinks();
            switch (jobs.Take(index)) {
                case OrderedParallelJobs::Outcome::Succeeded:
                    break;
                case OrderedParallelJobs::Outcome::Failed:
                    throw CannotFetchGameInfo{std::move(fetches[index].reply),
                                              CannotFetchGameInfo::kRequestFailed};
                case OrderedParallelJobs::Outcome::NotRun:
                    throw CannotFetchGameInfo{{}, CannotFetchGameInfo::kCancelled};
            }
            FileInfo& file = record.files[index];
            file = std::move(fetches[index].file);
            record.total = SaturatingAdd(record.total, file.size);
            if (file.available) {
                record.available = SaturatingAdd(record.available, file.size);
            }
            record.downloaded = SaturatingAdd(record.downloaded, file.onDisk);
        }
    }

    void ServeDetails(std::unique_ptr<ConnectionsTask> owned) {
        auto& task = static_cast<RequestDetailsTask&>(*owned);
        Event& wanted = *task.cancelEvent;
        auto record = std::make_unique<DownloadInfo>(task.folder);
        try {
            if (!wanted.IsSet()) {
                throw CannotFetchGameInfo{{}, CannotFetchGameInfo::kCancelled};
            }
            std::u16string reply;
            if (!manager_.FetchGameDetails(task.gameName, reply, *record)) {
                if (std::optional<std::u16string> refusal = ForbiddenMessage(reply)) {
                    throw CannotFetchGameInfo{std::move(*refusal), CannotFetchGameInfo::kRefused};
                }
                throw CannotFetchGameInfo{reply, CannotFetchGameInfo::kRequestFailed};
            }
            if (wanted.IsSet()) {
                PostDetails(DetailsReply::kTitleOnly, DetailsReply::kSuccess, task, *record);
            }
            FillChunkIndexes(*record, wanted);
            if (wanted.IsSet()) {
                const DownloadInfo& filled = *record;
                PostDetails(DetailsReply::kFinal, DetailsReply::kSuccess, task, filled,
                            std::move(record));
            }
            manager_.FinishTask(std::move(owned));
        } catch (const CannotFetchGameInfo& failure) {
            Failed(std::move(owned), std::move(record), failure);
        }
    }

    void Failed(std::unique_ptr<ConnectionsTask> owned, std::unique_ptr<DownloadInfo> record,
                const CannotFetchGameInfo& failure) {
        const ConnectionsTask& task = *owned;
        const bool wanted = task.cancelEvent->IsSet();
        if (failure.code == CannotFetchGameInfo::kCancelled || terminate_.IsSet()) {
            manager_.FinishTask(std::move(owned));
            return;
        }
        if (failure.code == CannotFetchGameInfo::kRefused) {
            // The refusal carries the store's message and no record: there are no details.
            if (wanted) {
                PostDetails(DetailsReply::kFinal, DetailsReply::kRefused, task, *record, nullptr,
                            failure.message);
            }
            manager_.FinishTask(std::move(owned));
            return;
        }
        // A failure while offline or signed out is not the store's answer: try again once the
        // thread is let through, without counting it as judged.
        if (manager_.noInternet_.IsSet() || !manager_.userLoggedIn_.IsSet()) {
            manager_.EnqueueTask(std::move(owned));
            return;
        }
        if (!wanted) {
            manager_.FinishTask(std::move(owned));
            return;
        }
        if (task.attempts >= kMaxDetailsAttempts) {
            Logger().Warning(u"Could not fetch game info for %s. Permanent failure", task.gameName);
            const DownloadInfo& partial = *record;
            PostDetails(DetailsReply::kFinal, DetailsReply::kFailed, task, partial,
                        std::move(record));
            manager_.FinishTask(std::move(owned));
            return;
        }
        Logger().Warning(u"Could not fetch game info for %s. %d attempts left", task.gameName,
                         kMaxDetailsAttempts - task.attempts);
        manager_.EnqueueTask(std::move(owned));
    }

    ConnectionsManager& manager_;
    Event& terminate_;
    // Entries are replaced, never removed, for the life of the thread.
    std::map<int64_t, RecentLink> recentLinks_;
};

void ConnectionsManager::conThread(Event& terminate) {
    RequestThread(*this, terminate).Run();
}

bool ConnectionsManager::Start(const std::u16string& dataFolder, MessageTarget& owner,
                               const std::u16string& token, const std::u16string& tokenSecret) {
    if (conThread_.Started() || !Connect()) {
        return false;
    }
    owner_ = &owner;
    SetToken(token, tokenSecret);
    SetDataFolder(dataFolder);
    conThread_.Start([this](Event& terminate) { conThread(terminate); });
    authThread_.Start([this](Event& stop) { authThread(stop); });
    return true;
}

void ConnectionsManager::Stop() {
    // The API calls refuse to start new requests from here on, and those in flight end now
    // rather than when a slow or stalled server lets them.
    terminating_.store(true);
    stopRequests_.Set();
    conThread_.RequestStop();
    conThread_.Join();
    authThread_.RequestStop();
    authThread_.Join();
}

void ConnectionsManager::RequestDetails(const std::u16string& name, const std::u16string& folder) {
    Logger().Log(u"Requesting details for game: %s", name);
    EnqueueTask(std::make_unique<RequestDetailsTask>(name, folder));
}

void ConnectionsManager::RequestLink(const std::u16string& name, uint64_t fileId,
                                     uint32_t workerSlot, uint64_t passThrough) {
    auto task = std::make_unique<RequestLinkTask>(name, static_cast<int64_t>(fileId), workerSlot);
    // The high half would have been a cancel event; workers send none, so link tasks have none.
    task->passThrough = static_cast<uint32_t>(passThrough & 0xFFFFFFFFu);
    EnqueueTask(std::move(task));
}

void ConnectionsManager::CancelDetails(const std::u16string& name) {
    std::lock_guard lock(queueLock_);
    const auto cancel = [&](const ConnectionsTask& task) {
        if (task.kind == ConnectionsTask::kDetails && task.gameName == name) {
            task.cancelEvent->Reset();
        }
    };
    for (const std::unique_ptr<ConnectionsTask>& task : tasks_) {
        cancel(*task);
    }
    if (currentTask_ != nullptr) {
        cancel(*currentTask_);
    }
}

void ConnectionsManager::EnqueueTask(std::unique_ptr<ConnectionsTask> task) {
    std::lock_guard lock(queueLock_);
    if (currentTask_ == task.get()) {
        currentTask_ = nullptr;
    }
    tasks_.push_back(std::move(task));
    queueNotEmpty_.Set();
}

std::unique_ptr<ConnectionsTask> ConnectionsManager::DequeueTask() {
    std::lock_guard lock(queueLock_);
    if (tasks_.empty()) {
        queueNotEmpty_.Reset();
        return nullptr;
    }
    // A link request goes first: a worker holds its connection idle until the link comes, while
    // a details request only fills in a list entry. Details requests keep their order.
    auto next = FirstLink(tasks_);
    if (next == tasks_.end()) {
        next = tasks_.begin();
    }
    std::unique_ptr<ConnectionsTask> task = TakeOut(tasks_, next, queueNotEmpty_);
    currentTask_ = task.get();
    return task;
}

std::unique_ptr<ConnectionsTask> ConnectionsManager::DequeueLinkTask() {
    std::lock_guard lock(queueLock_);
    const auto next = FirstLink(tasks_);
    return next == tasks_.end() ? nullptr : TakeOut(tasks_, next, queueNotEmpty_);
}

void ConnectionsManager::FinishTask(std::unique_ptr<ConnectionsTask> task) {
    {
        std::lock_guard lock(queueLock_);
        if (currentTask_ == task.get()) {
            currentTask_ = nullptr;
        }
    }
    task.reset();
}

void ConnectionsManager::Post(AppEvent event) {
    if (owner_ != nullptr) {
        owner_->Post(std::move(event));
    }
}
