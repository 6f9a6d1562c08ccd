#include "engine/ChunkIndex.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/TextUtil.h"
#include "support/FileFixtures.h"
#include "support/HostileXml.h"
#include "support/LogCapture.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;

namespace {

const std::string kD0 = "0123456789abcdef0123456789abcdef";
const std::string kD1 = "fedcba9876543210fedcba9876543210";
const std::string kFileMd5 = "00112233445566778899aabbccddeeff";
const std::u16string kD0w = u"0123456789abcdef0123456789abcdef";
const std::u16string kD1w = u"fedcba9876543210fedcba9876543210";

std::string Chunk(const std::string& id, const std::string& from, const std::string& to,
                  const std::string& digest, const std::string& element = "chunk",
                  const std::string& method = "md5") {
    return "<" + element + " method=\"" + method + "\" id=\"" + id + "\" from=\"" + from +
           "\" to=\"" + to + "\">" + digest + "</" + element + ">";
}

// The 200-byte file of two chunks that most cases start from.
std::string TwoChunks(const std::string& fileAttributes = "available=\"1\"") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<file " + fileAttributes +
           " timestamp=\"2011-03-03 14:05\" total_size=\"200\" md5=\"" + kFileMd5 + "\">\n  " +
           Chunk("0", "0", "99", kD0) + "\n  " + Chunk("1", "100", "199", kD1) + "\n</file>\n";
}

enum class Kind { Regular, Symlink, Fifo, Folder };

// Something placed in the record's folder before the read.
struct Placed {
    std::string path;
    size_t size = 0;  // for Regular, and for the symlink's regular target
    Kind kind = Kind::Regular;
};

void Place(const fs::path& folder, const Placed& item) {
    const fs::path path = folder / item.path;
    fs::create_directories(path.parent_path());
    switch (item.kind) {
        case Kind::Regular:
            WriteFile(path, std::string(item.size, 'x'));
            break;
        case Kind::Symlink: {
            const fs::path target = folder / (item.path + ".target");
            WriteFile(target, std::string(item.size, 'x'));
            fs::create_symlink(target, path);
            break;
        }
        case Kind::Fifo:
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
            break;
        case Kind::Folder:
            fs::create_directories(path);
            break;
    }
}

struct ExpectedChunk {
    int32_t id;
    uint64_t from;
    uint64_t to;
    std::u16string md5;
    uint64_t onDisk;
};

class ChunkIndexTest : public ::testing::Test {
protected:
    fs::path DataFolder() const { return dir.Path() / "data"; }
    fs::path RecordFolder() const { return dir.Path() / "downloads"; }
    std::u16string Data() const { return Utf8ToWide(DataFolder().string() + "/"); }
    std::u16string Record() const { return Utf8ToWide(RecordFolder().string() + "/"); }
    fs::path IndexOf(const std::string& name) const { return DataFolder() / (name + ".crc"); }

    TempDir dir;
};

TEST_F(ChunkIndexTest, ReadsIndexAndMeasuresDisk) {
    const struct Case {
        const char* title;
        std::string name = "game.exe";
        std::string xml;
        std::vector<Placed> placed = {};
        bool startAvailable = true;
        bool read = true;
        bool available = true;
        std::u16string message = {};
        uint64_t onDisk = 0;
        std::vector<ExpectedChunk> chunks = {};
        std::vector<std::u16string> warnings = {};
    } cases[] = {
        {.title = "available 1 never reads the message, no files on disk",
         .xml = TwoChunks("available=\"1\" notavailablemsg=\"gone\""),
         .chunks = {{0, 0, 99, kD0w, 0}, {1, 100, 199, kD1w, 0}}},
        {.title = "available 0 takes the message",
         .xml = TwoChunks("available=\"0\" notavailablemsg=\"Coming soon\""),
         .available = false,
         .message = u"Coming soon",
         .chunks = {{0, 0, 99, kD0w, 0}, {1, 100, 199, kD1w, 0}}},
        {.title = "available true is not the number 1",
         .xml = TwoChunks("available=\"true\" notavailablemsg=\"m\""),
         .available = false,
         .message = u"m",
         .chunks = {{0, 0, 99, kD0w, 0}, {1, 100, 199, kD1w, 0}}},
        {.title = "available absent keeps an earlier unavailability",
         .xml = TwoChunks("notavailablemsg=\"still gone\""),
         .startAvailable = false,
         .available = false,
         .message = u"still gone",
         .chunks = {{0, 0, 99, kD0w, 0}, {1, 100, 199, kD1w, 0}}},
        {.title = "method MD5 and no method are not chunks",
         .xml = "<file total_size=\"200\">" + Chunk("0", "0", "99", kD0, "chunk", "MD5") +
                "<chunk id=\"0\" from=\"0\" to=\"99\">" + kD0 + "</chunk>" +
                Chunk("1", "100", "199", kD1) + "</file>",
         .chunks = {{1, 100, 199, kD1w, 0}}},
        {.title = "siblings after the first chunk are read whatever their name, earlier ones never",
         .xml = "<file total_size=\"200\">" + Chunk("7", "0", "9", kD1, "piece") + "text" +
                Chunk("0", "0", "99", kD0) + "loose text<!-- note -->" +
                Chunk("1", "100", "199", kD1, "piece") + "<other/></file>",
         .chunks = {{0, 0, 99, kD0w, 0}, {1, 100, 199, kD1w, 0}}},
        {.title = "verified file wins over partial; partial counts without it",
         .xml = TwoChunks(),
         .placed = {{"game.exe.chunk0", 60},
                    {"game.exe.chunk0_downloading", 30},
                    {"game.exe.chunk1_downloading", 20}},
         .onDisk = 80,
         .chunks = {{0, 0, 99, kD0w, 60}, {1, 100, 199, kD1w, 20}}},
        {.title = "finished file present: its size alone, chunks still report theirs",
         .xml = TwoChunks(),
         .placed = {{"game.exe", 200}, {"game.exe.chunk1", 100}},
         .onDisk = 200,
         .chunks = {{0, 0, 99, kD0w, 0}, {1, 100, 199, kD1w, 100}}},
        {.title = "symbolic links, FIFOs and folders at file names are not there",
         .xml = TwoChunks(),
         .placed = {{"game.exe", 200, Kind::Symlink},
                    {"game.exe.chunk0", 100, Kind::Symlink},
                    {"game.exe.chunk0_downloading", 0, Kind::Fifo},
                    {"game.exe.chunk1", 0, Kind::Folder},
                    {"game.exe.chunk1_downloading", 5}},
         .onDisk = 5,
         .chunks = {{0, 0, 99, kD0w, 0}, {1, 100, 199, kD1w, 5}}},
        {.title = "a name with a folder reads and measures inside that folder",
         .name = "setup/game.exe",
         .xml = TwoChunks(),
         .placed = {{"setup/game.exe.chunk0", 10}, {"game.exe.chunk1", 100}},
         .onDisk = 10,
         .chunks = {{0, 0, 99, kD0w, 10}, {1, 100, 199, kD1w, 0}}},
        {.title = "byte-order mark skipped, UTF-8 text converted",
         .xml = "\xEF\xBB\xBF<file available=\"0\" notavailablemsg=\"Nicht verf\xC3\xBCgbar "
                "\xE2\x9C\x93\" total_size=\"200\">" +
                Chunk("0", "0", "199", kD0) + "</file>",
         .available = false,
         .message = u"Nicht verf\u00FCgbar \u2713",
         .chunks = {{0, 0, 199, kD0w, 0}}},
        {.title = "chunk files are named after the id text as written",
         .xml = "<file total_size=\"200\">" + Chunk("00", "0", "99", kD0) +
                Chunk("1", "100", "199", kD1) + "</file>",
         .placed = {{"game.exe.chunk00", 40}, {"game.exe.chunk0", 99}},
         .onDisk = 40,
         .chunks = {{0, 0, 99, kD0w, 40}, {1, 100, 199, kD1w, 0}}},
        {.title = "chunk without an id, or with an empty one, is skipped with a warning",
         .xml = "<file total_size=\"200\"><chunk method=\"md5\" from=\"0\" to=\"99\">" + kD0 +
                "</chunk>" + Chunk("", "0", "99", kD0) + Chunk("1", "100", "199", kD1) + "</file>",
         .chunks = {{1, 100, 199, kD1w, 0}},
         .warnings = {u"Chunk without id skipped in xml file 'game.exe.crc'.",
                      u"Chunk without id skipped in xml file 'game.exe.crc'."}},
        {.title = "an id that would name a file elsewhere is skipped with a warning",
         .xml = "<file total_size=\"200\">" + Chunk("0/../../x", "0", "99", kD0) +
                Chunk("1&#10;", "100", "199", kD1) + "</file>",
         // With the folder in place, the id's text would reach a real file beside the folder.
         .placed = {{"game.exe.chunk0", 0, Kind::Folder}, {"../x", 77}},
         .warnings = {u"Chunk with id '0/../../x' skipped in xml file 'game.exe.crc': the id "
                      u"cannot name a file.",
                      u"Chunk with id '1?' skipped in xml file 'game.exe.crc': the id cannot "
                      u"name a file."}},
        {.title = "no top-level file element: false, silently",
         .xml = "<root><file total_size=\"200\">" + Chunk("0", "0", "199", kD0) + "</file></root>",
         .read = false},
        {.title = "empty document: false, silently", .xml = "", .read = false},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        fs::remove_all(dir.Path());
        fs::create_directories(DataFolder());
        fs::create_directories(RecordFolder());
        WriteFile(IndexOf(c.name), c.xml);
        for (const Placed& item : c.placed) {
            Place(RecordFolder(), item);
        }
        FileInfo file;
        file.name = Utf8ToWide(c.name);
        file.available = c.startAvailable;
        const FileInfo before = file;
        LogCapture log;

        ASSERT_EQ(ReadChunkIndex(file, Record(), Data()), c.read);

        EXPECT_EQ(log.Warnings(), c.warnings);
        EXPECT_TRUE(fs::exists(IndexOf(c.name)));
        if (!c.read) {
            EXPECT_EQ(file.size, before.size);
            EXPECT_EQ(file.available, before.available);
            EXPECT_TRUE(file.chunks.empty());
            continue;
        }
        EXPECT_EQ(file.available, c.available);
        EXPECT_EQ(file.notAvailableMessage, c.message);
        EXPECT_EQ(file.size, 200u);
        EXPECT_EQ(file.onDisk, c.onDisk);
        ASSERT_EQ(file.chunks.size(), c.chunks.size());
        for (size_t i = 0; i < c.chunks.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(file.chunks[i].id, c.chunks[i].id);
            EXPECT_EQ(file.chunks[i].from, c.chunks[i].from);
            EXPECT_EQ(file.chunks[i].to, c.chunks[i].to);
            EXPECT_EQ(file.chunks[i].md5, c.chunks[i].md5);
            EXPECT_EQ(file.chunks[i].onDisk, c.chunks[i].onDisk);
            EXPECT_EQ(file.chunks[i].joined, 0u);
        }
    }
}

TEST_F(ChunkIndexTest, FileAttributesFillTheRecord) {
    WriteFile(IndexOf("game.exe"), TwoChunks());
    FileInfo file;
    file.name = u"game.exe";
    file.md5 = u"old";
    ASSERT_TRUE(ReadChunkIndex(file, Record(), Data()));
    EXPECT_EQ(file.timestamp, u"2011-03-03 14:05");
    EXPECT_EQ(file.md5, u"00112233445566778899aabbccddeeff");

    // An absent attribute leaves its field as it was.
    WriteFile(IndexOf("other"), "<file/>");
    FileInfo other;
    other.name = u"other";
    other.timestamp = u"t";
    other.size = 5;
    other.md5 = u"m";
    ASSERT_TRUE(ReadChunkIndex(other, Record(), Data()));
    EXPECT_EQ(other.timestamp, u"t");
    EXPECT_EQ(other.size, 5u);
    EXPECT_EQ(other.md5, u"m");
    EXPECT_TRUE(other.chunks.empty());
}

TEST_F(ChunkIndexTest, NumbersReadLikeTheCConversions) {
    const struct {
        std::string text;
        int64_t wide;    // as "total_size", "from" and "to" read it
        int32_t narrow;  // as "id" reads it
    } cases[] = {
        {"12", 12, 12},
        {" 12x", 12, 12},
        {"  7", 7, 7},
        {"+7", 7, 7},
        {"-5", -5, -5},
        {"abc", 0, 0},
        {"- 5", 0, 0},
        {"0x10", 0, 0},
        {"0012", 12, 12},
        {"5000000000", 5000000000, INT32_MAX},
        {"4294967297", 4294967297, INT32_MAX},  // never cut down to 1
        {"-4294967297", -4294967297, INT32_MIN},
        {"9223372036854775807", INT64_MAX, INT32_MAX},
        {"99999999999999999999", INT64_MAX, INT32_MAX},
        {"-9223372036854775808", INT64_MIN, INT32_MIN},
        {"-99999999999999999999", INT64_MIN, INT32_MIN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        WriteFile(IndexOf("n"), "<file available=\"" + c.text + "\" total_size=\"" + c.text +
                                    "\">" + Chunk(c.text, c.text, c.text, kD0) + "</file>");
        FileInfo file;
        file.name = u"n";
        ASSERT_TRUE(ReadChunkIndex(file, Record(), Data()));
        EXPECT_EQ(file.size, static_cast<uint64_t>(c.wide));
        EXPECT_EQ(file.available, c.narrow == 1);
        ASSERT_EQ(file.chunks.size(), 1u);
        EXPECT_EQ(file.chunks[0].id, c.narrow);
        EXPECT_EQ(file.chunks[0].from, static_cast<uint64_t>(c.wide));
        EXPECT_EQ(file.chunks[0].to, static_cast<uint64_t>(c.wide));
    }
    // Every blank the C library skips, tab and line breaks included.
    WriteFile(IndexOf("b"), "<file total_size=\"\t\n\v\f\r 7\"/>");
    FileInfo blanks;
    blanks.name = u"b";
    ASSERT_TRUE(ReadChunkIndex(blanks, Record(), Data()));
    EXPECT_EQ(blanks.size, 7u);
    // "available" is true for exactly the number 1, however it is written.
    for (const std::string text : {"1", " 1", "+1", "01", "1.0", "1abc"}) {
        WriteFile(IndexOf("a"), "<file available=\"" + text + "\"/>");
        FileInfo file;
        file.name = u"a";
        file.available = false;
        ASSERT_TRUE(ReadChunkIndex(file, Record(), Data()));
        EXPECT_TRUE(file.available) << text;
    }
}

TEST_F(ChunkIndexTest, CorruptIndexIsDeletedWithAWarningUnlessOnlyLookedAt) {
    const struct {
        const char* title;
        std::string name;
        std::string xml;
    } cases[] = {
        {"unclosed element", "setup/game.exe",
         "<file total_size=\"200\"><chunk method=\"md5\" id=\"0\"></file>"},
        {"unterminated attribute", "game.exe", "<file total_size=\"200/>"},
        {"text before the first element", "game.exe", "garbage<file/>"},
        {"truncated", "game.exe", TwoChunks().substr(0, 90)},
        // Deep enough to exhaust the stack of a parser that descends once per level.
        {"nested far too deep", "game.exe",
         [] {
             std::string deep = "<file>";
             for (int i = 0; i < 200000; ++i) {
                 deep += "<a>";
             }
             return deep;
         }()},
        // A DOCTYPE's bracketed subset swallows closing tags; a scan that ended it at its first
        // ">" saw this as flat while the parser would descend 100 000 levels.
        {"nesting hidden in a DOCTYPE", "game.exe", "<file>" + NestingHiddenInADoctype()},
        {"nesting hidden behind a quote in a name", "game.exe", NestingHiddenBehindAQuoteInAName()},
        {"a DOCTYPE of its own", "game.exe",
         "<!DOCTYPE file [<!ENTITY e \"x\">]><file total_size=\"200\"/>"},
        {"an unknown <! item", "game.exe", "<!ELEMENT file ANY><file total_size=\"200\"/>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        WriteFile(IndexOf(c.name), c.xml);
        FileInfo file;
        file.name = Utf8ToWide(c.name);
        // A reader that only looks (a listing beside the running program) leaves it in place.
        EXPECT_FALSE(ReadChunkIndex(file, Record(), Data(), BrokenIndex::kKeep));
        EXPECT_EQ(ReadFile(IndexOf(c.name)), c.xml);
        LogCapture log;
        EXPECT_FALSE(ReadChunkIndex(file, Record(), Data()));
        EXPECT_EQ(log.Warnings(),
                  std::vector<std::u16string>{u"Xml file '" + file.name +
                                              u".crc' was corrupted. New xml will be downloaded."});
        EXPECT_FALSE(fs::exists(IndexOf(c.name)));
        EXPECT_EQ(file.size, 0u);
        EXPECT_TRUE(file.available);
        EXPECT_TRUE(file.chunks.empty());
    }
}

TEST_F(ChunkIndexTest, ModerateNestingIsStillParsed) {
    std::string xml = "<file total_size=\"200\">" + Chunk("0", "0", "199", kD0);
    for (int i = 0; i < 100; ++i) {
        xml += "<a x=\"/>\">";
    }
    for (int i = 0; i < 100; ++i) {
        xml += "</a>";
    }
    WriteFile(IndexOf("game.exe"), xml + "</file>");
    FileInfo file;
    file.name = u"game.exe";
    EXPECT_TRUE(ReadChunkIndex(file, Record(), Data()));
    EXPECT_EQ(file.chunks.size(), 1u);
}

TEST_F(ChunkIndexTest, AbsentIndexFailsSilently) {
    FileInfo file;
    file.name = u"setup/game.exe";  // the folder is missing too
    file.size = 9;
    LogCapture log;
    EXPECT_FALSE(ReadChunkIndex(file, Record(), Data()));
    EXPECT_TRUE(log.Warnings().empty());
    EXPECT_EQ(file.size, 9u);
}

TEST_F(ChunkIndexTest, OversizedIndexIsRefusedAndDeleted) {
    const fs::path index = IndexOf("game.exe");
    WriteFile(index, TwoChunks());
    fs::resize_file(index, kMaxChunkIndexSize + 1);  // sparse: no 16 MiB written
    FileInfo file;
    file.name = u"game.exe";
    LogCapture log;
    EXPECT_FALSE(ReadChunkIndex(file, Record(), Data()));
    EXPECT_EQ(log.Warnings(),
              std::vector<std::u16string>{u"Xml file 'game.exe.crc' is larger than 16777216 "
                                          u"bytes. New xml will be downloaded."});
    EXPECT_FALSE(fs::exists(index));
    EXPECT_TRUE(file.chunks.empty());
}

TEST_F(ChunkIndexTest, IndexThatCannotBeReadIsNeverEmpty) {
    const struct {
        const char* title;
        Kind kind;
    } cases[] = {{"folder", Kind::Folder}, {"FIFO", Kind::Fifo}, {"symbolic link", Kind::Symlink}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        fs::remove_all(DataFolder());
        Place(DataFolder(), {"game.exe.crc", 0, c.kind});
        if (c.kind == Kind::Symlink) {
            WriteFile(IndexOf("game.exe") += ".target", TwoChunks());
        }
        FileInfo file;
        file.name = u"game.exe";
        LogCapture log;
        EXPECT_FALSE(ReadChunkIndex(file, Record(), Data()));
        EXPECT_EQ(log.Warnings(),
                  std::vector<std::u16string>{u"Xml file 'game.exe.crc' cannot be read."});
        EXPECT_TRUE(fs::exists(fs::symlink_status(IndexOf("game.exe"))));  // not deleted
        EXPECT_TRUE(file.chunks.empty());
    }
}

TEST_F(ChunkIndexTest, UnreadableIndexFileIsKept) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "permissions don't bind the superuser";
    }
    const fs::path index = IndexOf("game.exe");
    WriteFile(index, TwoChunks());
    fs::permissions(index, fs::perms::none);
    FileInfo file;
    file.name = u"game.exe";
    LogCapture log;
    EXPECT_FALSE(ReadChunkIndex(file, Record(), Data()));
    EXPECT_EQ(log.Warnings(),
              std::vector<std::u16string>{u"Xml file 'game.exe.crc' cannot be read."});
    EXPECT_TRUE(fs::exists(index));
}

TEST_F(ChunkIndexTest, UnsafeNameIsRefusedWithoutLookingOutside) {
    // A valid index beside the data folder, where "../outside" would lead.
    WriteFile(dir.Path() / "outside.crc", TwoChunks());
    for (const std::u16string name : {u"../outside", u"a/../../outside", u"a\\..\\..\\outside"}) {
        FileInfo file;
        file.name = name;
        LogCapture log;
        EXPECT_FALSE(ReadChunkIndex(file, Record(), Data()));
        ASSERT_EQ(log.Warnings().size(), 1u);
        EXPECT_EQ(log.Warnings()[0], u"File name '" + name +
                                         u"' is not a safe relative path; its xml file is "
                                         u"not read.");
        EXPECT_TRUE(file.chunks.empty());
    }
    EXPECT_TRUE(fs::exists(dir.Path() / "outside.crc"));
}

TEST_F(ChunkIndexTest, LoadChunkIndexesSumsTheRecord) {
    WriteFile(IndexOf("a.bin"), TwoChunks());
    WriteFile(IndexOf("setup/b.bin"),
              "<file available=\"0\" total_size=\"50\">" + Chunk("0", "0", "49", kD0) + "</file>");
    Place(RecordFolder(), {"a.bin.chunk0", 100});
    Place(RecordFolder(), {"a.bin.chunk1_downloading", 30});
    Place(RecordFolder(), {"setup/b.bin", 50});

    DownloadInfo record(Record());
    record.files.resize(2);
    record.files[0].name = u"a.bin";
    record.files[1].id = 1;
    record.files[1].name = u"setup/b.bin";
    record.joined = 7;
    record.verified = 5;
    record.downloaded = 999;
    record.available = 999;
    record.total = 999;
    ASSERT_TRUE(LoadChunkIndexes(record, Data()));
    EXPECT_EQ(record.files[0].onDisk, 130u);
    EXPECT_EQ(record.files[1].onDisk, 50u);
    EXPECT_EQ(record.downloaded, 180u);
    EXPECT_EQ(record.total, 250u);
    EXPECT_EQ(record.available, 200u);
    EXPECT_EQ(record.joined, 7u);
    EXPECT_EQ(record.verified, 5u);
    EXPECT_EQ(record.state, ItemState::Downloading);

    // Everything on disk and nothing joined yet: the state becomes Combining.
    Place(RecordFolder(), {"a.bin.chunk1", 100});
    DownloadInfo full(Record());
    full.files.resize(2);
    full.files[0].name = u"a.bin";
    full.files[1].name = u"setup/b.bin";
    ASSERT_TRUE(LoadChunkIndexes(full, Data()));
    EXPECT_EQ(full.downloaded, 250u);
    EXPECT_EQ(full.state, ItemState::Combining);

    // A missing index stops the load; the files before it keep what they read.
    DownloadInfo broken(Record());
    broken.files.resize(3);
    broken.files[0].name = u"a.bin";
    broken.files[1].name = u"missing.bin";
    broken.files[2].name = u"setup/b.bin";
    EXPECT_FALSE(LoadChunkIndexes(broken, Data()));
    EXPECT_EQ(broken.files[0].chunks.size(), 2u);
    EXPECT_TRUE(broken.files[2].chunks.empty());
    EXPECT_EQ(broken.files[2].size, 0u);
}

FileInfo Plan(uint64_t size, std::vector<std::pair<uint64_t, uint64_t>> ranges) {
    FileInfo file;
    file.name = u"f";
    file.size = size;
    file.md5 = u"00112233445566778899aabbccddeeff";
    for (size_t i = 0; i < ranges.size(); ++i) {
        ChunkInfo chunk;
        chunk.id = static_cast<int32_t>(i);
        chunk.from = ranges[i].first;
        chunk.to = ranges[i].second;
        chunk.md5 = i % 2 == 0 ? kD0w : kD1w;
        file.chunks.push_back(chunk);
    }
    return file;
}

TEST(ValidateChunkPlanTest, AcceptsOnlyWhatTheEngineCanFollow) {
    const auto withFile = [](FileInfo file, auto change) {
        change(file);
        return file;
    };
    const FileInfo good = Plan(200, {{0, 99}, {100, 199}});
    const struct {
        const char* title;
        FileInfo file;
        bool valid;
        std::u16string reasonPart;
    } cases[] = {
        {"two contiguous chunks", good, true, u""},
        {"one-byte chunks", Plan(3, {{0, 0}, {1, 1}, {2, 2}}), true, u""},
        {"empty file without chunks", Plan(0, {}), true, u""},
        {"beyond 4 GiB", Plan(6000000000, {{0, 4294967295}, {4294967296, 5999999999}}), true, u""},
        {"unavailable file is never followed",
         withFile(Plan(10, {{5, 1}}), [](FileInfo& f) { f.available = false; }), true, u""},
        {"ids out of order",
         withFile(good, [](FileInfo& f) { std::swap(f.chunks[0].id, f.chunks[1].id); }), false,
         u"id"},
        {"ids not from 0", withFile(good, [](FileInfo& f) { f.chunks[0].id = 1; }), false, u"id"},
        {"gap", Plan(200, {{0, 98}, {100, 199}}), false, u"starts at 100"},
        {"overlap", Plan(200, {{0, 100}, {100, 199}}), false, u"starts at 100"},
        {"not from 0", Plan(200, {{1, 99}, {100, 199}}), false, u"starts at 1"},
        {"to before from", Plan(200, {{0, 99}, {100, 50}}), false, u"before its start"},
        {"short of the size", Plan(300, {{0, 99}, {100, 199}}), false, u"cover 200 of 300"},
        {"past the size", Plan(150, {{0, 99}, {100, 199}}), false, u"past the end"},
        {"size without chunks", Plan(10, {}), false, u"cover 0 of 10"},
        {"negative size", Plan(static_cast<uint64_t>(-1), {{0, 0xFFFFFFFFFFFFFFFEull}}), false,
         u"size"},
        {"upper-case chunk digest",
         withFile(good, [](FileInfo& f) { f.chunks[1].md5 = u"FEDCBA9876543210FEDCBA9876543210"; }),
         false, u"digest of chunk 1"},
        {"short chunk digest", withFile(good, [](FileInfo& f) { f.chunks[0].md5 = u"abc"; }), false,
         u"digest of chunk 0"},
        {"chunk digest with blanks",
         withFile(good, [](FileInfo& f) { f.chunks[0].md5 = u" " + kD0w.substr(1); }), false,
         u"digest of chunk 0"},
        {"file digest missing", withFile(good, [](FileInfo& f) { f.md5.clear(); }), false,
         u"file digest"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        std::u16string reason = u"untouched";
        EXPECT_EQ(ValidateChunkPlan(c.file, &reason), c.valid);
        if (c.valid) {
            EXPECT_EQ(reason, u"untouched");
        } else {
            EXPECT_NE(reason.find(c.reasonPart), std::u16string::npos) << WideToUtf8(reason);
        }
        EXPECT_EQ(ValidateChunkPlan(c.file), c.valid);
    }
}

TEST_F(ChunkIndexTest, PlanReadFromAnIndexWithASkippedChunkIsRejected) {
    WriteFile(IndexOf("g"),
              "<file total_size=\"200\" md5=\"" + kFileMd5 + "\">" + Chunk("0", "0", "99", kD0) +
                  "<chunk method=\"md5\" from=\"100\" to=\"199\">" + kD1 + "</chunk></file>");
    FileInfo file;
    file.name = u"g";
    ASSERT_TRUE(ReadChunkIndex(file, Record(), Data()));
    EXPECT_FALSE(ValidateChunkPlan(file));
    // The same index with the id in place is a valid plan.
    WriteFile(IndexOf("g"), TwoChunks());
    FileInfo whole;
    whole.name = u"g";
    ASSERT_TRUE(ReadChunkIndex(whole, Record(), Data()));
    EXPECT_TRUE(ValidateChunkPlan(whole));
}

}  // namespace
