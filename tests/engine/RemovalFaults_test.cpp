// Removing a game with its files where the folders are not as the program left them: the game's
// folder is a symbolic link (to a folder of the user's, or to the home folder), it holds the
// user's own files, or the downloads folder is the home folder itself. Only the program's own
// files of that game go — finished, chunk, partial and half-joined files — and then the folders
// that this leaves empty below the downloads folder; every other file, folder and link target
// stays as it was.
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/DownloadInfo.h"
#include "core/TextUtil.h"
#include "engine/RemovalFiles.h"
#include "support/FaultChecks.h"
#include "support/FileFixtures.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;

namespace {

// The program's own files of a game whose one file is "<sub>/setup.bin".
const char* const kOwnFiles[] = {"setup.bin", "setup.bin.chunk0", "setup.bin.chunk1",
                                 "setup.bin.chunk2_downloading", "setup.bin.joining"};

struct RemovalCase {
    const char* label;
    // Where the record's folder is, relative to the temporary root ("home" is the home folder).
    const char* downloads;
    // The game's folder below it: a real folder, or a link to `linkTarget` (relative to the root).
    const char* linkTarget;
    // Files of the user's put beside the game's files (relative to the game's real folder).
    std::vector<std::string> userFiles;
    // Whether the game's folder (or link) must be gone afterwards.
    bool folderGoes;
};

// Named by its label in gtest's messages.
void PrintTo(const RemovalCase& c, std::ostream* out) {
    *out << c.label;
}

const RemovalCase kCases[] = {
    {"PlainGameFolder", "downloads", nullptr, {}, true},
    {"GameFolderHoldsTheUsersFiles", "downloads", nullptr, {"notes.txt", "saves/slot1.dat"}, false},
    {"GameFolderIsALinkToAFolderOfTheUsers", "downloads", "mine", {"photo.jpg"}, false},
    {"GameFolderIsALinkToTheHomeFolder",
     "downloads",
     "home",
     {".bashrc", "Documents/cv.odt"},
     false},
    {"DownloadsFolderIsTheHomeFolder", "home", nullptr, {}, true},
    {"DownloadsFolderIsTheHomeFolderAndTheGameFolderHoldsTheUsersFiles",
     "home",
     nullptr,
     {"keep.txt"},
     false},
};

class RemovalFaultsTest : public ::testing::TestWithParam<RemovalCase> {
protected:
    TempDir root_;
};

TEST_P(RemovalFaultsTest, OnlyTheGamesOwnFilesGo) {
    const RemovalCase& c = GetParam();
    FaultFigures figures(std::string("Removal.") + c.label);
    const fs::path root = root_.Path();
    // The home folder always holds files of the user's.
    WriteFile(root / "home/.profile", "profile");
    WriteFile(root / "home/Music/song.ogg", "la la la");
    WriteFile(root / "mine/.keep", "");
    const fs::path downloads = root / c.downloads;
    fs::create_directories(downloads);
    WriteFile(downloads / "other-game/setup.bin", "another game's file");
    WriteFile(downloads / "game.setup.bin", "a file whose name only looks alike");

    const fs::path gameFolder = downloads / "the-game";
    fs::path realFolder = gameFolder;
    if (c.linkTarget != nullptr) {
        realFolder = root / c.linkTarget;
        fs::create_directories(realFolder);
        fs::create_directory_symlink(realFolder, gameFolder);
    }
    for (const std::string& file : c.userFiles) {
        WriteFile(realFolder / file, "the user's " + file);
    }
    // The user's files, before any of the game's: these must all stay.
    const TreeSnapshot kept = SnapshotTree(root);
    for (const char* own : kOwnFiles) {
        WriteFile(realFolder / own, std::string("game bytes of ") + own);
    }

    DownloadInfo record(Utf8ToWide(downloads.string() + "/"));
    record.name = u"the-game";
    FileInfo file;
    file.id = 0;
    file.name = u"the-game/setup.bin";
    file.size = 100;
    record.files.push_back(file);

    figures.Injected();
    EXPECT_EQ(DeleteDownloadFiles(record), std::size(kOwnFiles));

    const TreeSnapshot after = SnapshotTree(root);
    figures.Lost(LostBytes(kept, after));
    // Nothing is left of the game's own files, and everything else is exactly as it was: the
    // game's folder went only where removing the game's files emptied it.
    const std::vector<std::string> changed = ChangedPaths(kept, after);
    EXPECT_TRUE(changed.empty()) << changed.front();
    figures.WrittenOutside(changed);
    for (const char* own : kOwnFiles) {
        EXPECT_FALSE(fs::exists(realFolder / own)) << own;
    }
    EXPECT_EQ(fs::exists(fs::symlink_status(gameFolder)), !c.folderGoes);
    if (!HasFailure()) {
        figures.Survived();
    }
}

INSTANTIATE_TEST_SUITE_P(Folders, RemovalFaultsTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<RemovalCase>& param) {
                             return std::string(param.param.label);
                         });

}  // namespace
