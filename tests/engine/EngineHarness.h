#pragma once
// What the downloads manager's integration tests share: games made of generated test-store
// resources with their chunk lists and digests, a fake main window (a message queue that the test
// thread pumps, answering link requests), a capture of the log's lines, and one engine wired to
// a switchable connectivity probe.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "core/DebugPrintf.h"
#include "core/DownloadInfo.h"
#include "core/MessageQueue.h"
#include "core/NormalisePath.h"
#include "core/Overloaded.h"
#include "core/TextUtil.h"
#include "engine/DownloadsManager.h"
#include "engine/Md5Context.h"
#include "support/TempHome.h"
#include "support/TestStore.h"

namespace engine_test {

namespace fs = std::filesystem;

constexpr uint64_t kChunk = 64 * 1024;

struct FileSpec {
    std::string name;  // relative, may hold "/"
    uint64_t size = 0;
    bool available = true;
};

inline std::string Seed(const std::string& game, const std::string& file) {
    return game + "/" + file;
}

inline std::string StorePath(const std::string& game, const std::string& file) {
    return "/files/" + game + "/" + file;
}

inline std::string Content(const std::string& game, const FileSpec& file) {
    return TestStore::GeneratedContent(Seed(game, file.name), 0, file.size);
}

// Serves the files at the store and describes them as the chunk indexes would.
inline DownloadInfo MakeGame(TestStore& store, const fs::path& folder, const std::string& game,
                             const std::vector<FileSpec>& files, uint64_t chunkSize = kChunk) {
    DownloadInfo info(NormaliseFolder(Utf8ToWide(folder.string())));
    info.name = Utf8ToWide(game);
    info.title = info.name;
    info.detailsReceived = true;
    for (size_t id = 0; id < files.size(); ++id) {
        const FileSpec& wanted = files[id];
        store.PutGeneratedResource(StorePath(game, wanted.name), Seed(game, wanted.name),
                                   wanted.size);
        const std::string bytes = Content(game, wanted);
        FileInfo file;
        file.id = static_cast<uint32_t>(id);
        file.name = Utf8ToWide(wanted.name);
        file.size = wanted.size;
        file.available = wanted.available;
        file.md5 = Md5Hex(bytes);
        for (uint64_t from = 0, n = 0; from < wanted.size; from += chunkSize, ++n) {
            ChunkInfo chunk;
            chunk.id = static_cast<int32_t>(n);
            chunk.from = from;
            chunk.to = std::min(wanted.size, from + chunkSize) - 1;
            chunk.md5 = Md5Hex(std::string_view(bytes).substr(from, chunk.Length()));
            file.chunks.push_back(chunk);
        }
        info.files.push_back(std::move(file));
        info.total += wanted.size;
    }
    return info;
}

inline std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Every regular file below `folder`, relative, sorted.
inline std::vector<std::string> FilesBelow(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            names.push_back(fs::relative(entry.path(), folder).string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Which alternative of AppEvent an event type is: the kind the harness files a posted event under.
template <class Event, size_t I = 0>
constexpr size_t EventKindOf() {
    static_assert(I < std::variant_size_v<AppEvent>, "not an AppEvent alternative");
    if constexpr (std::is_same_v<std::variant_alternative_t<I, AppEvent>, Event>) {
        return I;
    } else {
        return EventKindOf<Event, I + 1>();
    }
}
template <class Event>
inline constexpr size_t kEventKind = EventKindOf<Event>();

// One event as the test saw it, its fields copied out.
struct Seen {
    size_t kind = 0;  // kEventKind of its type
    std::u16string name;
    uint64_t fileId = kAllBits;  // kAllBits: the event names no file
    uint64_t chunkId = 0;
    uint64_t bytes = 0;
    uint32_t slot = 0;
    uint64_t passThrough = 0;
    bool partially = false;                          // ItemFinished
    ErrorKind error = ErrorKind::None;               // ItemFailed
    uint64_t bytesShort = 0;                         // ItemFailed
    bool diskProblem = false;                        // ItemResubmit
    std::optional<FileProgressReset::Reason> reset;  // FileProgressReset
    bool online = false;                             // ConnectionStatus
};

// The main window as far as the engine is concerned. The test thread pumps it.
class FakeWindow {
public:
    MessageQueue queue;
    DownloadsManager* engine = nullptr;
    // Link for (game, file id); empty answers "no link".
    std::function<std::u16string(const std::u16string&, uint64_t)> linkFor;
    bool answerLinks = true;
    std::vector<Seen> held;  // link requests not answered while answerLinks is false
    std::vector<Seen> seen;

    // Takes messages until `done` holds or the limit passes.
    bool PumpUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            if (auto message = queue.Take(std::chrono::milliseconds(5))) {
                Record(std::move(*message));
            }
        }
        return true;
    }
    // Takes messages for a while.
    void PumpFor(std::chrono::milliseconds time) {
        PumpUntil([] { return false; }, time);
    }
    void AnswerHeld() {
        for (const Seen& request : held) {
            engine->DeliverLink(request.slot, linkFor(request.name, request.fileId),
                                request.passThrough);
        }
        held.clear();
    }

    size_t Count(size_t kind) const {
        return static_cast<size_t>(std::count_if(seen.begin(), seen.end(),
                                                 [kind](const Seen& s) { return s.kind == kind; }));
    }
    size_t Count(size_t kind, const std::u16string& name) const {
        return static_cast<size_t>(std::count_if(seen.begin(), seen.end(), [&](const Seen& s) {
            return s.kind == kind && s.name == name;
        }));
    }
    size_t Count(FileProgressReset::Reason reason) const {
        return static_cast<size_t>(std::count_if(
            seen.begin(), seen.end(), [reason](const Seen& s) { return s.reset == reason; }));
    }
    const Seen* Last(size_t kind) const {
        for (auto it = seen.rbegin(); it != seen.rend(); ++it) {
            if (it->kind == kind) {
                return &*it;
            }
        }
        return nullptr;
    }
    // Index of the first event of this kind at or after `from`.
    size_t IndexOf(size_t kind, size_t from = 0) const {
        for (size_t i = from; i < seen.size(); ++i) {
            if (seen[i].kind == kind) {
                return i;
            }
        }
        return seen.size();
    }
    // Index of the first file progress reset for this reason.
    size_t IndexOf(FileProgressReset::Reason reason) const {
        for (size_t i = 0; i < seen.size(); ++i) {
            if (seen[i].reset == reason) {
                return i;
            }
        }
        return seen.size();
    }

private:
    void Record(AppEvent event) {
        Seen s;
        s.kind = event.index();
        std::visit(Overloaded{
                       [&](const ChunkProgress& e) {
                           s.name = e.gameName;
                           s.fileId = e.fileId;
                           s.chunkId = e.chunkId;
                           s.bytes = e.byteCount;
                       },
                       [&](const CombineProgress& e) {
                           s.name = e.gameName;
                           s.fileId = e.fileId;
                           s.chunkId = e.chunkId;
                           s.bytes = e.byteCount;
                       },
                       [&](const CheckProgress& e) {
                           s.name = e.gameName;
                           s.fileId = e.fileId;
                           s.bytes = e.byteCount;
                       },
                       [&](const FileProgressReset& e) {
                           s.name = e.gameName;
                           s.fileId = e.fileId;
                           s.reset = e.reason;
                       },
                       [&](const FileUnavailable& e) {
                           s.name = e.gameName;
                           s.fileId = e.fileId;
                       },
                       [&](const ItemPaused& e) { s.name = e.gameName; },
                       [&](const CombineReset& e) { s.name = e.gameName; },
                       [&](const ItemReleased& e) { s.name = e.gameName; },
                       [&](const ItemFinished& e) {
                           s.name = e.gameName;
                           s.partially = e.partially;
                       },
                       [&](const ItemFailed& e) {
                           s.name = e.gameName;
                           s.fileId = e.fileId.value_or(kAllBits);
                           s.error = e.kind;
                           s.bytesShort = e.bytesShort;
                       },
                       [&](const ItemResubmit& e) {
                           s.name = e.gameName;
                           s.diskProblem = e.diskProblem;
                       },
                       [&](const LinkNeeded& e) {
                           s.name = e.gameName;
                           s.fileId = e.fileId;
                           s.slot = e.workerSlot;
                           s.passThrough = e.passThrough;
                       },
                       [&](const ConnectionStatus& e) { s.online = e.online; },
                       // Nothing the engine posts; filed by kind only.
                       [](const auto&) {},
                   },
                   event);
        seen.push_back(s);
        if (s.kind == kEventKind<LinkNeeded>) {
            if (answerLinks) {
                engine->DeliverLink(s.slot, linkFor(s.name, s.fileId), s.passThrough);
            } else {
                held.push_back(s);
            }
        }
    }
};

// The log's lines while it lives.
class LogCapture {
public:
    LogCapture() {
        Logger().SetObserver([this](CDebugPrintf::Level, std::u16string_view line) {
            std::lock_guard<std::mutex> guard(lock_);
            lines_.push_back(WideToUtf8(std::u16string(line)));
        });
    }
    ~LogCapture() { Logger().SetObserver({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    void Clear() {
        std::lock_guard<std::mutex> guard(lock_);
        lines_.clear();
    }
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> guard(lock_);
        return lines_;
    }
    size_t CountContaining(const std::string& text) const {
        const auto lines = Lines();
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
            return l.find(text) != std::string::npos;
        }));
    }
    // Whether the texts appear in this order, each in a later line than the one before.
    bool InOrder(const std::vector<std::string>& texts) const {
        const auto lines = Lines();
        size_t at = 0;
        for (const std::string& text : texts) {
            while (at < lines.size() && lines[at].find(text) == std::string::npos) {
                ++at;
            }
            if (at == lines.size()) {
                return false;
            }
            ++at;
        }
        return true;
    }

private:
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
};

// One store for the whole test program: starting it makes a CA and certificates.
inline TestStore& SharedStore() {
    static TestStore* store = [] {
        auto* made = new TestStore();
        made->UseInEnvironment();
        return made;
    }();
    return *store;
}

// A fresh home, a downloads folder, the engine with a fake window, signed in and online.
class EngineFixture : public ::testing::Test {
public:
    EngineFixture() : store(SharedStore()) {
        store.ClearFaults();
        store.ClearRequests();
        downloads = home.Home() / "Velkora Downloads";
        fs::create_directories(downloads);
        engineSignals.loggedIn->Set();
        window.linkFor = [this](const std::u16string& game, uint64_t fileId) {
            return LinkOf(game, fileId);
        };
    }
    ~EngineFixture() override {
        if (engine) {
            engine->Shutdown();
        }
    }

    // The engine without its threads, for requests that must be waiting when it starts.
    void MakeEngine(uint32_t connections = 6) {
        DownloadsManagerOptions options;
        options.concurrentConnections = connections;
        options.progressIntervalMs = 20;
        options.connectivity.retryDelayMs = 20;
        options.connectivity.probe = [this] { return online.load(); };
        // The pauses keep their growth and their caps, on a scale tests can afford.
        options.retry.firstPause = std::chrono::milliseconds(20);
        options.retry.longestPause = std::chrono::milliseconds(320);
        engine =
            std::make_unique<DownloadsManager>(window.queue, engineSignals, std::move(options));
        window.engine = engine.get();
    }

    void StartEngine(uint32_t connections = 6) {
        if (!engine) {
            MakeEngine(connections);
        }
        engine->Start();
        ASSERT_TRUE(
            window.PumpUntil([this] { return window.Count(kEventKind<ConnectionStatus>) > 0; }));
    }

    DownloadInfo Game(const std::string& name, const std::vector<FileSpec>& files) {
        DownloadInfo info = MakeGame(store, downloads, name, files);
        games[info.name] = info;
        return info;
    }

    std::u16string LinkOf(const std::u16string& game, uint64_t fileId) const {
        const auto found = games.find(game);
        if (found == games.end() || fileId >= found->second.files.size()) {
            return {};
        }
        return Utf8ToWide(store.CdnHttpUrl() + "/files/" + WideToUtf8(game) + "/" +
                          WideToUtf8(found->second.files[fileId].name));
    }

    bool Finished(const std::u16string& game) const {
        return window.Count(kEventKind<ItemFinished>, game) > 0;
    }

    // Body bytes the store sent for one file.
    uint64_t BytesServed(const std::string& game, const std::string& file) const {
        uint64_t total = 0;
        for (const StoreRequest& request : store.Requests()) {
            if (request.path == StorePath(game, file)) {
                total += request.bytesSent;
            }
        }
        return total;
    }

    TempHome home;
    TestStore& store;
    LogCapture log;
    fs::path downloads;
    // Shared with the engine as the connections manager would share them; signed in.
    EngineSignals engineSignals = MakeEngineSignals();
    std::atomic<bool> online{true};
    FakeWindow window;
    std::map<std::u16string, DownloadInfo> games;
    std::unique_ptr<DownloadsManager> engine;
};

}  // namespace engine_test
