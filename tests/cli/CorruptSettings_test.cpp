// A damaged settings store under velkdownloader-cli, run as its own process against the local
// test store: records cut short, bit-flipped, with huge length fields, of the wrong type or naming
// another game; a database file that is garbage or cut short; a database locked by another
// process. Every case: the program starts and downloads a game, the bad records are skipped with
// their warning, the good ones and the damaged ones stay in the store as they were, the file of a
// database that can't be used is left untouched, and nothing is written outside the program's
// folders. Run under AddressSanitizer too, so that no read goes out of bounds.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/DownloadInfo.h"
#include "core/RecordStore.h"
#include "core/TextUtil.h"
#include "platform/Registry.h"
#include "support/CliProcess.h"
#include "support/DemoRun.h"
#include "support/FaultChecks.h"
#include "support/FileFixtures.h"
#include "support/TempHome.h"
#include "support/TestStore.h"
#include "support/WaitFor.h"

namespace fs = std::filesystem;

namespace {

const char* const kGood[] = {"alpha-game", "gamma-game"};
constexpr char kDamaged[] = "beta-game";

DownloadInfo CompletedRecord(const std::string& name, const fs::path& folder, int32_t position) {
    DownloadInfo record(Utf8ToWide(folder.string() + "/"));
    record.name = Utf8ToWide(name);
    record.title = u"Title of " + record.name;
    record.icon = u".data/" + record.name + u".png";
    record.installer = record.name + u"/setup.bin";
    record.listPosition = position;
    record.completed = true;
    FileInfo file;
    file.id = 0;
    file.name = record.installer;
    file.size = 4096;
    record.files.push_back(file);
    record.total = 4096;
    return record;
}

std::vector<uint8_t> Bytes(const DownloadInfo& record) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(record.Serialize(bytes));
    return bytes;
}

// Where the 32-bit count of files sits in a stored record: after the list position, the name,
// title and icon strings, the total and the installer string.
size_t FileCountOffset(const DownloadInfo& record) {
    return 4 + (2 + 2 * record.name.size()) + (2 + 2 * record.title.size()) +
           (2 + 2 * record.icon.size()) + 8 + (2 + 2 * record.installer.size());
}

struct DamagedStore {
    fs::path registryFile;
    fs::path downloads;
    std::shared_ptr<Registry> registry;  // open while the case damages the store
};

struct CorruptionCase {
    const char* label;
    std::function<void(DamagedStore&)> damage;
    // The warning the run must log; empty for damage that may still read as a record.
    const char* warning;
    bool storeUsable;  // the program can still keep its settings this run
};

// Named by its label in gtest's messages.
void PrintTo(const CorruptionCase& c, std::ostream* out) {
    *out << c.label;
}

void ReplaceDamagedRecord(DamagedStore& setup,
                          const std::function<void(std::vector<uint8_t>&)>& change) {
    std::optional<RegistryKey> key = OpenDownloadsKey(setup.registry);
    ASSERT_TRUE(key);
    std::optional<RegistryValue> value = key->Query(Utf8ToWide(kDamaged));
    ASSERT_TRUE(value);
    change(value->data);
    ASSERT_TRUE(key->SetBinary(Utf8ToWide(kDamaged), value->data));
}

const CorruptionCase kCases[] = {
    {"RecordCutShort",
     [](DamagedStore& s) {
         ReplaceDamagedRecord(s, [](auto& bytes) { bytes.resize(bytes.size() / 2); });
     },
     "Deserialization beta-game from registry failed.", true},
    {"HugeStringLength",
     [](DamagedStore& s) {
         ReplaceDamagedRecord(s, [](auto& bytes) {
             bytes[4] = 0xFF;  // the name's byte count
             bytes[5] = 0xFF;
         });
     },
     "Deserialization  from registry failed.", true},
    {"HugeFileCount",
     [](DamagedStore& s) {
         const size_t at = FileCountOffset(CompletedRecord(kDamaged, s.downloads, 1));
         ReplaceDamagedRecord(s, [at](auto& bytes) {
             for (size_t i = 0; i < 4; ++i) {
                 bytes[at + i] = 0xFF;
             }
         });
     },
     "Deserialization beta-game from registry failed.", true},
    {"BitsFlipped",
     [](DamagedStore& s) {
         ReplaceDamagedRecord(s, [](auto& bytes) {
             for (size_t i = 3; i < bytes.size(); i += 7) {
                 bytes[i] = static_cast<uint8_t>(bytes[i] ^ 0x10);
             }
         });
     },
     "", true},
    {"RecordNamingAnotherGame",
     [](DamagedStore& s) {
         ReplaceDamagedRecord(
             s, [&s](auto& bytes) { bytes = Bytes(CompletedRecord(kGood[0], s.downloads, 1)); });
     },
     "Skipping the stored record \"beta-game\": it names \"alpha-game\".", true},
    {"ValueOfTheWrongType",
     [](DamagedStore& s) {
         std::optional<RegistryKey> key = OpenDownloadsKey(s.registry);
         ASSERT_TRUE(key);
         ASSERT_TRUE(key->SetString(u"stray-text", u"not a record"));
     },
     "Skipping the stored value \"stray-text\": not a download record.", true},
    {"GarbageDatabaseFile",
     [](DamagedStore& s) {
         s.registry.reset();
         WriteFile(s.registryFile, Pattern(20000, 99));
     },
     "Cannot open the settings store", false},
    {"DatabaseFileCutShort",
     [](DamagedStore& s) {
         s.registry.reset();
         const std::string bytes = ReadFile(s.registryFile);
         ASSERT_GT(bytes.size(), 3000u);
         WriteFile(s.registryFile, bytes.substr(0, 3000));
     },
     "Cannot open the settings store", false},
};

class CorruptSettingsTest : public ::testing::TestWithParam<CorruptionCase> {
protected:
    CorruptSettingsTest() { store_.UseInEnvironment(); }

    CliProcess::Options Run(const std::string& game) const {
        return DemoDownload(Downloads(), game, 0, runs_.Path());
    }
    fs::path Downloads() const { return home_.Root() / "downloads"; }

    // A store holding three completed records, the middle one to be damaged.
    DamagedStore MakeStore() const {
        DamagedStore setup{Registry::DefaultPath(), Downloads(),
                           Registry::Open(Registry::DefaultPath())};
        std::optional<RegistryKey> key = OpenDownloadsKey(setup.registry);
        EXPECT_TRUE(key);
        const std::string names[] = {kGood[0], kDamaged, kGood[1]};
        for (int32_t i = 0; i < 3; ++i) {
            EXPECT_TRUE(SaveDownloadRecord(*key, CompletedRecord(names[i], Downloads(), i)));
        }
        return setup;
    }

    TempHome home_;
    TempDir runs_;
    TestStore store_;
};

TEST_P(CorruptSettingsTest, TheProgramStartsAndSkipsOnlyTheBadRecords) {
    const CorruptionCase& c = GetParam();
    FaultFigures figures(std::string("CorruptSettings.") + c.label);
    store_.AddGame(R"({"name":"fresh-game","title":"Fresh","owned":true,"files":[{"id":0,)"
                   R"("path":"fresh-game/setup.bin","size":70000,"seed":"fresh/0",)"
                   R"("chunk_size":65536,"timestamp":"1714557700"}]})");
    DamagedStore setup = MakeStore();
    const std::vector<StoredRecord> good = StoredRecords(setup.registry);
    ASSERT_EQ(good.size(), 3u);
    c.damage(setup);
    ASSERT_FALSE(HasFailure());
    setup.registry.reset();
    const std::vector<StoredRecord> damaged = StoredRecords(setup.registryFile);
    const std::string fileDigest = FileDigest(setup.registryFile);
    const TreeSnapshot homeBefore = SnapshotTree(home_.Root());

    figures.Injected();
    const bool failedBefore = HasFailure();
    CliProcess run(Run("fresh-game"));
    ASSERT_EQ(run.Wait(), 0) << run.Out() << run.Err();
    const std::string out = run.Out();
    if (*c.warning != '\0') {
        EXPECT_NE(out.find(std::string("[WRN]")), std::string::npos);
        EXPECT_NE(out.find(c.warning), std::string::npos) << out;
    }
    EXPECT_EQ(FileDigest(Downloads() / "fresh-game/setup.bin"),
              store_.ExpectedFileMd5("fresh-game", 0));

    if (c.storeUsable) {
        // Every value as it was (the damaged one too: it may be rescued by hand), and the new
        // game's record beside them.
        const std::vector<StoredRecord> after = StoredRecords(setup.registryFile);
        ASSERT_EQ(after.size(), damaged.size() + 1) << out;
        for (size_t i = 0; i < damaged.size(); ++i) {
            if (!(after[i] == damaged[i])) {
                ADD_FAILURE() << damaged[i].name << " changed";
                figures.Lost(1);
            }
        }
        EXPECT_EQ(after.back().name, "fresh-game");
        EXPECT_TRUE(after.back().readable);
        EXPECT_TRUE(after.back().completed);
    } else {
        EXPECT_EQ(FileDigest(setup.registryFile), fileDigest) << "the damaged store was changed";
        if (FileDigest(setup.registryFile) != fileDigest) {
            figures.Lost(fs::file_size(setup.registryFile));
        }
    }
    std::vector<std::string> allowed = home_.ProgramFolders();
    allowed.push_back("downloads");
    figures.WrittenOutside(ChangedOutside(homeBefore, SnapshotTree(home_.Root()), allowed));
    if (!HasFailure() || failedBefore) {
        figures.Survived();
    }
}

INSTANTIATE_TEST_SUITE_P(Damage, CorruptSettingsTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<CorruptionCase>& param) {
                             return std::string(param.param.label);
                         });

class LockedSettingsTest : public CorruptSettingsTest {};

// Another process holds the store's write lock: the records are still read at once (reading
// needs no lock), the program starts and downloads, and its writes go through once the lock is
// released.
TEST_F(LockedSettingsTest, RecordsAreReadAtOnceAndTheProgramRuns) {
    if (!fs::exists("/usr/bin/sqlite3")) {
        GTEST_SKIP() << "the sqlite3 program is not installed (scripts/packages.txt lists it)";
    }
    FaultFigures figures("CorruptSettings.LockedByAnotherProcess");
    store_.AddGame(R"({"name":"fresh-game","title":"Fresh","owned":true,"files":[{"id":0,)"
                   R"("path":"fresh-game/setup.bin","size":70000,"seed":"fresh/0",)"
                   R"("chunk_size":65536,"timestamp":"1714557700"}]})");
    DamagedStore setup = MakeStore();
    setup.registry.reset();
    const std::vector<StoredRecord> before = StoredRecords(setup.registryFile);

    CliProcess::Options holder;
    holder.program = "/usr/bin/sqlite3";
    holder.args = {setup.registryFile.string(), "BEGIN IMMEDIATE;", "SELECT 'locked';",
                   ".shell sleep 8"};
    holder.logFolder = runs_.Path();
    figures.Injected();
    CliProcess lock(holder);
    ASSERT_TRUE(WaitFor([&] { return lock.Out().find("locked") != std::string::npos; },
                        std::chrono::seconds(10)))
        << lock.Err();

    // Read while the lock is held, as the program's start does.
    const auto started = std::chrono::steady_clock::now();
    std::shared_ptr<Registry> registry = Registry::Open(setup.registryFile);
    ASSERT_TRUE(registry);
    std::optional<RegistryKey> key = OpenDownloadsKey(registry);
    ASSERT_TRUE(key);
    EXPECT_EQ(LoadDownloadRecords(*key).size(), 3u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    registry.reset();

    CliProcess run(Run("fresh-game"));
    ASSERT_EQ(run.Wait(std::chrono::seconds(90)), 0) << run.Out() << run.Err();
    EXPECT_EQ(lock.Wait(), 0) << lock.Err();
    const std::vector<StoredRecord> after = StoredRecords(setup.registryFile);
    ASSERT_EQ(after.size(), 4u);
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(after[i], before[i]);
    }
    EXPECT_TRUE(after[3].completed);
    if (!HasFailure()) {
        figures.Survived();
    }
}

}  // namespace
