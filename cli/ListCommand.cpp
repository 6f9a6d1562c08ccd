#include "cli/ListCommand.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/CVelkDownloaderApp.h"
#include "app/ItemLifecycle.h"
#include "cli/ExitCodes.h"
#include "cli/GameFacts.h"
#include "core/EscapeControls.h"
#include "core/JsonText.h"
#include "core/RecordStore.h"
#include "core/TextUtil.h"
#include "engine/ChunkIndex.h"
#include "platform/Registry.h"

namespace {

// One listed game with its figures as the window's row shows them once its chunk indexes are
// read: a completed game is done, another one paused with what is on disk. A game whose indexes
// can't be read counts as the window counts it then: its stored total, nothing done.
struct ListedGame {
    const DownloadInfo& record;
    ItemState state = ItemState::Paused;
    uint64_t bytes = 0;
    uint64_t total = 0;
};

ListedGame Count(const DownloadInfo& record, const std::u16string& dataFolder) {
    ListedGame game{record};
    DownloadInfo counted = record;
    if (!LoadChunkIndexes(counted, dataFolder, BrokenIndex::kKeep)) {
        counted = record;
        counted.downloaded = 0;
    }
    game.state = record.completed ? ItemState::Completed : ItemState::Paused;
    game.total = counted.total;
    game.bytes = BytesDone(counted);
    return game;
}

std::string TextLine(const ListedGame& game) {
    const DownloadInfo& record = game.record;
    const auto field = [](const std::u16string& text) {
        return text.empty() ? std::string("-") : EscapeControlsUtf8(WideToUtf8(text));
    };
    return field(record.name) + "\t" + field(record.title) + "\t" + StateWord(game.state) + "\t" +
           std::to_string(game.bytes) + " of " + std::to_string(game.total) + " bytes\t" +
           field(record.folder) + "\n";
}

std::string JsonLine(const ListedGame& game) {
    const DownloadInfo& record = game.record;
    return JsonObject()
               .String("name", WideToUtf8(record.name))
               .String("title", WideToUtf8(record.title))
               .String("state", StateWord(game.state))
               .Number("bytes", game.bytes)
               .Number("total", game.total)
               .String("folder", WideToUtf8(record.folder))
               .Text() +
           "\n";
}

}  // namespace

int ListGames(bool json) {
    const std::filesystem::path file = Registry::DefaultPath();
    std::error_code error;
    std::shared_ptr<Registry> registry;
    if (std::filesystem::exists(file, error)) {
        registry = Registry::OpenReadOnly(file);
        if (!registry) {
            PrintError("cannot read the settings store " + file.string());
            return kExitFailed;
        }
    }
    // No store, or no records key in it: the program never listed a game.
    std::optional<RegistryKey> key;
    if (registry) {
        key = OpenDownloadsKey(registry);
    }
    std::vector<std::unique_ptr<DownloadInfo>> records;
    if (key) {
        records = LoadDownloadRecords(*key);
    }
    // The window lists the first hundred.
    if (records.size() > ItemLifecycle::kMaxItems) {
        records.resize(ItemLifecycle::kMaxItems);
    }
    if (records.empty() && !json) {
        std::fputs("No games in the list.\n", stderr);
    }
    const std::u16string dataFolder = CVelkDownloaderApp::DefaultDataFolder();
    for (const auto& record : records) {
        const ListedGame game = Count(*record, dataFolder);
        std::fputs((json ? JsonLine(game) : TextLine(game)).c_str(), stdout);
    }
    std::fflush(stdout);
    return kExitDone;
}
