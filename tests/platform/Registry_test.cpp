#include "platform/Registry.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/FileFixtures.h"
#include "support/TempHome.h"
#include "support/TmpfsMount.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr std::u16string_view kDownloads = u"Software\\Velkora\\VelkDownloader\\Downloads";

// Runs one SQL query on the file directly, bypassing Registry, and returns the first column of
// each row as text.
std::vector<std::string> RawQuery(const fs::path& file, const std::string& sql) {
    sqlite3* db = nullptr;
    std::vector<std::string> rows;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
            while (sqlite3_step(statement) == SQLITE_ROW) {
                const auto* text = sqlite3_column_text(statement, 0);
                rows.emplace_back(text ? reinterpret_cast<const char*>(text) : "");
            }
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return rows;
}

std::vector<std::u16string> EnumeratedNames(const RegistryKey& key) {
    std::vector<std::u16string> names;
    for (uint32_t i = 0;; ++i) {
        auto value = key.EnumValue(i);
        if (!value) {
            return names;
        }
        names.push_back(value->name);
    }
}

}  // namespace

class RegistryStore : public ::testing::Test {
protected:
    TempDir dir_;  // declared first: the members below are made inside it
    fs::path file_ = dir_.Path() / "store" / "registry.sqlite3";
    std::shared_ptr<Registry> registry_ = Registry::Open(file_);
};

TEST_F(RegistryStore, TypesRoundTripWithTheirStoredLayout) {
    ASSERT_TRUE(registry_);
    auto key = RegistryKey::Create(registry_, kDownloads);
    ASSERT_TRUE(key);
    const std::u16string text = u"Caf\u00e9 \U0001F3AE";  // non-ASCII and a surrogate pair
    const std::vector<uint8_t> blob = {0x00, 0xFF, 0x10, 0x00, 0x7F};
    ASSERT_TRUE(key->SetString(u"Text", text));
    ASSERT_TRUE(key->SetDword(u"Number", 0x12345678u));
    ASSERT_TRUE(key->SetBinary(u"Blob", blob));
    ASSERT_TRUE(key->SetBinary(u"Empty", {}));

    EXPECT_EQ(key->QueryString(u"Text"), text);
    EXPECT_EQ(key->QueryDword(u"Number"), 0x12345678u);
    auto stored = key->Query(u"Blob");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, REG_BINARY);
    EXPECT_EQ(stored->data, blob);
    auto empty = key->Query(u"Empty");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->type, REG_BINARY);
    EXPECT_TRUE(empty->data.empty());

    // Readers ask for one type only.
    EXPECT_EQ(key->QueryString(u"Number"), std::nullopt);
    EXPECT_EQ(key->QueryDword(u"Text"), std::nullopt);
    EXPECT_EQ(key->QueryDword(u"Blob"), std::nullopt);
    EXPECT_EQ(key->Query(u"Missing"), std::nullopt);

    // On disk: UTF-16LE text without terminator, DWORD little-endian, key path in UTF-8 with "\".
    EXPECT_EQ(RawQuery(file_, "SELECT hex(data) FROM reg_values WHERE name = 'Text'"),
              std::vector<std::string>{"430061006600E90020003CD8AEDF"});
    EXPECT_EQ(RawQuery(file_,
                       "SELECT hex(data) || ':' || type FROM reg_values WHERE name = "
                       "'Number'"),
              std::vector<std::string>{"78563412:4"});
    EXPECT_EQ(RawQuery(file_, "SELECT DISTINCT key FROM reg_values"),
              std::vector<std::string>{"Software\\Velkora\\VelkDownloader\\Downloads"});
    EXPECT_EQ(RawQuery(file_, "PRAGMA journal_mode"), std::vector<std::string>{"wal"});
}

TEST_F(RegistryStore, KeysAndNamesMatchWithoutRegardToCase) {
    ASSERT_TRUE(registry_);
    auto key = RegistryKey::Create(registry_, kDownloads);
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->SetDword(u"Some Game", 1));

    auto upper = RegistryKey::Open(registry_, u"Software\\Velkora\\VELKDOWNLOADER\\DOWNLOADS");
    ASSERT_TRUE(upper);
    EXPECT_EQ(upper->Path(), kDownloads);  // the spelling it was created with
    EXPECT_EQ(upper->QueryDword(u"SOME GAME"), 1u);

    // Writing under another spelling updates the same value and keeps its first name.
    ASSERT_TRUE(upper->SetDword(u"some game", 2));
    EXPECT_EQ(key->QueryDword(u"Some Game"), 2u);
    EXPECT_EQ(EnumeratedNames(*key), std::vector<std::u16string>{u"Some Game"});

    // Creating it again under another spelling finds the existing key.
    auto again = RegistryKey::Create(registry_, u"SOFTWARE\\velkora\\VelkDownloader\\downloads");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->Path(), kDownloads);
    EXPECT_EQ(RawQuery(file_, "SELECT count(*) FROM reg_keys"), std::vector<std::string>{"4"});
}

TEST_F(RegistryStore, CreatingAKeyCreatesItsParentsAndPathsAreNormalised) {
    ASSERT_TRUE(registry_);
    EXPECT_FALSE(RegistryKey::Open(registry_, kDownloads));
    ASSERT_TRUE(
        RegistryKey::Create(registry_, u"\\Software\\\\Velkora\\VelkDownloader\\Downloads\\"));

    for (std::u16string_view path : std::initializer_list<std::u16string_view>{
             u"Software", u"Software\\Velkora", u"Software\\Velkora\\VelkDownloader", kDownloads}) {
        auto key = RegistryKey::Open(registry_, path);
        ASSERT_TRUE(key) << std::string(path.begin(), path.end());
        EXPECT_EQ(key->Path(), path);
    }
    auto parent = RegistryKey::Open(registry_, u"Software\\Velkora\\");
    ASSERT_TRUE(parent);
    auto child = parent->OpenSubKey(u"VelkDownloader\\\\Downloads");
    ASSERT_TRUE(child);
    EXPECT_EQ(child->Path(), kDownloads);
    EXPECT_FALSE(parent->OpenSubKey(u"Elsewhere"));
    auto made = parent->CreateSubKey(u"Elsewhere\\Deeper");
    ASSERT_TRUE(made);
    EXPECT_EQ(made->Path(), u"Software\\Velkora\\Elsewhere\\Deeper");
    EXPECT_TRUE(RegistryKey::Open(registry_, u"Software\\Velkora\\Elsewhere"));
    EXPECT_FALSE(RegistryKey::Open(registry_, u"\\\\"));
    EXPECT_FALSE(RegistryKey::Open(nullptr, kDownloads));
}

TEST_F(RegistryStore, EnumerationKeepsCreationOrderThroughUpdatesAndDeletes) {
    ASSERT_TRUE(registry_);
    auto key = RegistryKey::Create(registry_, kDownloads);
    auto other = RegistryKey::Create(registry_, u"Software\\Velkora\\Other");
    ASSERT_TRUE(key && other);
    ASSERT_TRUE(key->SetDword(u"c", 1));
    ASSERT_TRUE(other->SetDword(u"x", 1));  // values of another key never show up here
    ASSERT_TRUE(key->SetDword(u"a", 2));
    ASSERT_TRUE(key->SetString(u"b", u"three"));
    EXPECT_EQ(EnumeratedNames(*key), (std::vector<std::u16string>{u"c", u"a", u"b"}));

    ASSERT_TRUE(key->SetBinary(u"C", std::vector<uint8_t>{9}));  // update, even of its type
    EXPECT_EQ(EnumeratedNames(*key), (std::vector<std::u16string>{u"c", u"a", u"b"}));
    auto first = key->EnumValue(0);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->type, REG_BINARY);
    EXPECT_EQ(first->data, std::vector<uint8_t>{9});

    EXPECT_TRUE(key->DeleteValue(u"A"));
    EXPECT_FALSE(key->DeleteValue(u"a"));  // already gone
    EXPECT_EQ(key->Query(u"a"), std::nullopt);
    EXPECT_EQ(EnumeratedNames(*key), (std::vector<std::u16string>{u"c", u"b"}));
    ASSERT_TRUE(key->SetDword(u"a", 4));  // comes back at the end
    EXPECT_EQ(EnumeratedNames(*key), (std::vector<std::u16string>{u"c", u"b", u"a"}));
    EXPECT_EQ(key->EnumValue(3), std::nullopt);
}

TEST_F(RegistryStore, ValuesWrittenTogetherAreAllStoredOrNoneIs) {
    ASSERT_TRUE(registry_);
    auto key = RegistryKey::Create(registry_, kDownloads);
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->SetDword(u"b", 1));
    const std::vector<RegistryValue> values = {
        {u"a", REG_BINARY, {1, 2}}, {u"B", REG_BINARY, {3}}, {u"c", REG_DWORD, {4, 0, 0, 0}}};
    ASSERT_TRUE(key->SetValues(values));
    // "B" updated "b" in its place; the new ones came after it in the order given.
    EXPECT_EQ(EnumeratedNames(*key), (std::vector<std::u16string>{u"b", u"a", u"c"}));
    EXPECT_EQ(key->Query(u"b")->data, std::vector<uint8_t>{3});
    EXPECT_EQ(key->QueryDword(u"c"), 4u);
    EXPECT_TRUE(key->SetValues({}));

    // The store refuses one value of the next batch: nothing of that batch is kept.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(file_.c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw,
                           "CREATE TRIGGER refuse BEFORE UPDATE ON reg_values WHEN NEW.name = 'c'"
                           " BEGIN SELECT RAISE(ABORT, 'refused'); END;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(raw);
    const std::vector<RegistryValue> refused = {
        {u"a", REG_BINARY, {9}}, {u"d", REG_BINARY, {9}}, {u"c", REG_BINARY, {9}}};
    EXPECT_FALSE(key->SetValues(refused));
    EXPECT_EQ(key->Query(u"a")->data, (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(key->Query(u"d"), std::nullopt);
    EXPECT_EQ(key->QueryDword(u"c"), 4u);
}

TEST_F(RegistryStore, ValuesPersistAndTheFileIsPrivate) {
    ASSERT_TRUE(registry_);
    {
        auto key = RegistryKey::Create(registry_, kDownloads);
        ASSERT_TRUE(key && key->SetString(u"Name", u"value"));
    }
    registry_.reset();
    struct stat folder {};
    struct stat file {};
    ASSERT_EQ(stat(file_.parent_path().c_str(), &folder), 0);
    ASSERT_EQ(stat(file_.c_str(), &file), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    EXPECT_EQ(file.st_mode & 0777, 0600u);

    auto reopened = Registry::Open(file_);
    ASSERT_TRUE(reopened);
    auto key = RegistryKey::Open(reopened, kDownloads);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->QueryString(u"Name"), u"value");
}

TEST(RegistryFile, ACorruptFileIsRefusedAndLeftAlone) {
    TempDir dir;
    const fs::path file = dir.Path() / "registry.sqlite3";
    const std::string garbage(8192, 'x');
    std::ofstream(file, std::ios::binary) << garbage;
    EXPECT_EQ(Registry::Open(file), nullptr);
    std::string after(garbage.size() + 1, '\0');
    std::ifstream in(file, std::ios::binary);
    in.read(after.data(), static_cast<std::streamsize>(after.size()));
    after.resize(static_cast<size_t>(in.gcount()));
    EXPECT_EQ(after, garbage);

    // A store the user may not read is refused too (root reads anything, so it cannot tell).
    const fs::path locked = dir.Path() / "locked.sqlite3";
    ASSERT_TRUE(Registry::Open(locked));
    fs::permissions(locked, fs::perms::none);
    if (geteuid() != 0) {
        EXPECT_EQ(Registry::Open(locked), nullptr);
    }

    // A folder where the file should be is no store either.
    fs::create_directories(dir.Path() / "folder.sqlite3");
    EXPECT_EQ(Registry::Open(dir.Path() / "folder.sqlite3"), nullptr);
}

// Each file of `folder` with its bytes, to tell whether anything there was touched.
static std::map<std::string, std::string> FolderContents(const fs::path& folder) {
    std::map<std::string, std::string> contents;
    for (const auto& entry : fs::directory_iterator(folder)) {
        contents[entry.path().filename().string()] = ReadFile(entry.path());
    }
    return contents;
}

TEST(RegistryReadOnly, ReadsWithoutWritingAndRefusesWrites) {
    TempDir dir;
    const fs::path file = dir.Path() / "store" / "registry.sqlite3";
    // No store: nothing, and nothing made for it.
    EXPECT_EQ(Registry::OpenReadOnly(file), nullptr);
    EXPECT_FALSE(fs::exists(file.parent_path()));
    {
        auto writer = Registry::Open(file);
        ASSERT_TRUE(writer);
        auto key = RegistryKey::Create(writer, kDownloads);
        ASSERT_TRUE(key && key->SetDword(u"kept", 7));
    }
    const auto before = FolderContents(file.parent_path());
    {
        auto reader = Registry::OpenReadOnly(file);
        ASSERT_TRUE(reader);
        auto key = RegistryKey::Open(reader, kDownloads);
        ASSERT_TRUE(key);
        EXPECT_EQ(key->QueryDword(u"kept"), 7u);
        EXPECT_FALSE(key->SetDword(u"new", 1));
        EXPECT_FALSE(key->DeleteValue(u"kept"));
        EXPECT_FALSE(RegistryKey::Create(reader, u"Software\\Other"));
        EXPECT_FALSE(key->CreateSubKey(u"Sub"));
        EXPECT_EQ(key->QueryDword(u"kept"), 7u);
        EXPECT_EQ(key->Query(u"new"), std::nullopt);
    }
    // The store and its reserve are as they were. SQLite's own coordination files may be left
    // beside a store nobody had open (a reader can't remove them), the log empty.
    const auto after = FolderContents(file.parent_path());
    for (const auto& [name, bytes] : after) {
        if (name == "registry.sqlite3-shm") {
            continue;
        }
        if (name == "registry.sqlite3-wal") {
            EXPECT_TRUE(bytes.empty());
            continue;
        }
        ASSERT_EQ(before.count(name), 1u) << name;
        EXPECT_TRUE(bytes == before.at(name)) << name << " changed";
    }
    EXPECT_EQ(
        after.size() - after.count("registry.sqlite3-shm") - after.count("registry.sqlite3-wal"),
        before.size());

    // A file that is not a store is refused, and left as it was.
    const fs::path garbage = dir.Path() / "garbage.sqlite3";
    std::ofstream(garbage, std::ios::binary) << std::string(8192, 'x');
    EXPECT_EQ(Registry::OpenReadOnly(garbage), nullptr);
    EXPECT_EQ(ReadFile(garbage), std::string(8192, 'x'));
}

// A reader beside a running writer (the window, while the headless front end lists the games)
// sees every transaction the writer committed, including those after the reader opened.
TEST_F(RegistryStore, AReaderBesideTheWriterSeesItsCommittedWrites) {
    ASSERT_TRUE(registry_);
    auto key = RegistryKey::Create(registry_, kDownloads);
    ASSERT_TRUE(key && key->SetDword(u"first", 1));
    auto reader = Registry::OpenReadOnly(file_);
    ASSERT_TRUE(reader);
    auto seen = RegistryKey::Open(reader, kDownloads);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->QueryDword(u"first"), 1u);
    ASSERT_TRUE(key->SetDword(u"second", 2));
    ASSERT_TRUE(key->DeleteValue(u"first"));
    EXPECT_EQ(seen->QueryDword(u"second"), 2u);
    EXPECT_EQ(seen->Query(u"first"), std::nullopt);
}

TEST_F(RegistryStore, ThreadsShareOneRegistry) {
    ASSERT_TRUE(registry_);
    constexpr int kThreads = 4;
    constexpr uint32_t kValues = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            auto key = RegistryKey::Create(registry_, kDownloads);
            for (uint32_t i = 0; key && i < kValues; ++i) {
                const std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
                EXPECT_TRUE(key->SetDword(std::u16string(name.begin(), name.end()), i));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    auto key = RegistryKey::Open(registry_, kDownloads);
    ASSERT_TRUE(key);
    EXPECT_EQ(EnumeratedNames(*key).size(), static_cast<size_t>(kThreads) * kValues);
}

TEST(RegistryProcesses, TwoProcessesAndThisOneWriteTheSameFileAtOnce) {
    TempDir dir;
    const fs::path file = dir.Path() / "shared" / "registry.sqlite3";
    constexpr int kCount = 150;
    const std::string program = HelperProgram("registry_writer").string();
    const std::string fileArg = file.string();
    const std::string countArg = std::to_string(kCount);
    const char* const prefixes[] = {"first-", "second-"};

    std::vector<pid_t> children;
    for (const char* prefix : prefixes) {
        std::vector<char*> argv = {const_cast<char*>(program.c_str()),
                                   const_cast<char*>(fileArg.c_str()), const_cast<char*>(prefix),
                                   const_cast<char*>(countArg.c_str()), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ), 0);
        children.push_back(pid);
    }

    auto registry = Registry::Open(file);
    ASSERT_TRUE(registry);
    auto key = RegistryKey::Create(registry, u"Software\\Velkora\\Shared");
    ASSERT_TRUE(key);
    for (uint32_t i = 0; i < kCount; ++i) {
        const std::string digits = std::to_string(i);
        EXPECT_TRUE(key->SetDword(u"own-" + std::u16string(digits.begin(), digits.end()), i));
    }

    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }

    for (const std::string prefix : {"first-", "second-", "own-"}) {
        for (uint32_t i = 0; i < kCount; ++i) {
            const std::string name = prefix + std::to_string(i);
            EXPECT_EQ(key->QueryDword(std::u16string(name.begin(), name.end())), i) << name;
        }
    }
    EXPECT_EQ(EnumeratedNames(*key).size(), 3u * kCount);
    registry.reset();
    EXPECT_EQ(RawQuery(file, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
}

// A disk that fills up while the program runs, or that is full when it starts: removing a
// record and storing one still work (the store keeps room in reserve for that), and what was
// stored before stays whole.
TEST(RegistryOnAFullDisk, RemovingAndStoringStillWorkAndNothingStoredIsLost) {
    TempDir dir;
    TmpfsMount disk(dir.Path() / "disk", 2 * 1048576);
    if (!disk.Mounted()) {
        GTEST_SKIP() << disk.Reason();
    }
    const fs::path file = disk.Path() / "store" / "registry.sqlite3";
    const std::vector<uint8_t> record(3000, 0x5A);
    {
        auto registry = Registry::Open(file);
        ASSERT_TRUE(registry);
        auto key = RegistryKey::Create(registry, kDownloads);
        ASSERT_TRUE(key);
        for (const char16_t* name : {u"first", u"second", u"third"}) {
            ASSERT_TRUE(key->SetBinary(name, record));
        }
        // Full while it runs: the removal needs room for its log, and gets it.
        ASSERT_TRUE(disk.FillLeaving(0));
        EXPECT_TRUE(key->DeleteValue(u"second"));
        EXPECT_TRUE(key->SetBinary(u"fourth", record));
    }
    // Still full at the next start: the store opens, and removing works again.
    ASSERT_TRUE(disk.FillLeaving(0, ".filler2"));
    {
        auto registry = Registry::Open(file);
        ASSERT_TRUE(registry);
        auto key = RegistryKey::Open(registry, kDownloads);
        ASSERT_TRUE(key);
        EXPECT_EQ(EnumeratedNames(*key),
                  (std::vector<std::u16string>{u"first", u"third", u"fourth"}));
        EXPECT_TRUE(key->DeleteValue(u"third"));
    }
    fs::remove(disk.Path() / ".filler");
    fs::remove(disk.Path() / ".filler2");
    auto registry = Registry::Open(file);
    ASSERT_TRUE(registry);
    auto key = RegistryKey::Open(registry, kDownloads);
    ASSERT_TRUE(key);
    EXPECT_EQ(EnumeratedNames(*key), (std::vector<std::u16string>{u"first", u"fourth"}));
    EXPECT_EQ(key->Query(u"first")->data, record);
    EXPECT_EQ(key->Query(u"fourth")->data, record);
    EXPECT_TRUE(fs::exists(disk.Path() / "store" / "registry.sqlite3.reserve"))
        << "the reserve is taken back once there is room";
}
