#include "core/DownloadInfo.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/ChunkInfo.h"
#include "core/DebugPrintf.h"
#include "core/FileInfo.h"
#include "core/Serializer.h"
#include "support/LogCapture.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A record of game "ab" with two files, written out by hand field by field.
const Bytes kRecord = {
    0x02, 0x00, 0x00, 0x00,                          // list position 2
    0x04, 0x00, 0x61, 0x00, 0x62, 0x00,              // name "ab"
    0x02, 0x00, 0xC9, 0x00,                          // title "\u00C9"
    0x06, 0x00, 0x2E, 0x00, 0x64, 0x00, 0x2F, 0x00,  // icon ".d/"
    0x03, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,  // total 0x1'0000'0203
    0x02, 0x00, 0x69, 0x00,                          // installer "i"
    0x02, 0x00, 0x00, 0x00,                          // two files
    0x00, 0x00, 0x00, 0x00,                          //   id 0
    0x06, 0x00, 0x61, 0x00, 0x2F, 0x00, 0x62, 0x00,  //   name "a/b"
    0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,  //   size 0x1'0000'0000
    0x01, 0x00, 0x00, 0x00,                          //   id 1
    0x00, 0x00,                                      //   name ""
    0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //   size 0x203
    0x01, 0x00, 0x00, 0x00,                          // completed
    0x06, 0x00, 0x2F, 0x00, 0x64, 0x00, 0x2F, 0x00,  // folder "/d/"
};
constexpr size_t kNameEnd = 10;  // bytes up to the end of the name

DownloadInfo FixtureRecord() {
    DownloadInfo info(u"/d/");
    info.listPosition = 2;
    info.name = u"ab";
    info.title = u"\u00C9";
    info.icon = u".d/";
    info.total = 0x100000203ull;
    info.installer = u"i";
    info.completed = true;
    FileInfo first;
    first.id = 0;
    first.name = u"a/b";
    first.size = 0x100000000ull;
    FileInfo second;
    second.id = 1;
    second.size = 0x203;
    info.files = {first, second};
    return info;
}

bool ReadRecord(const Bytes& bytes, DownloadInfo& info) {
    const uint8_t* cursor = bytes.data();
    size_t remaining = bytes.size();
    return info.Deserialize(cursor, remaining);
}

// kRecord with its name field (count and text) replaced by `nameField`.
Bytes WithName(const Bytes& nameField) {
    Bytes bytes(kRecord.begin(), kRecord.begin() + 4);
    bytes.insert(bytes.end(), nameField.begin(), nameField.end());
    bytes.insert(bytes.end(), kRecord.begin() + kNameEnd, kRecord.end());
    return bytes;
}

}  // namespace

TEST(DownloadInfoRecord, SerializesToTheStoredLayoutAndLogs) {
    LogCapture log;
    DownloadInfo info = FixtureRecord();
    // Fields that are not stored must not change the bytes.
    info.priority = 7;
    info.state = ItemState::Failed;
    info.downloaded = 99;
    info.files[0].md5 = u"abc";
    info.files[0].chunks.resize(3);
    Bytes out = {0xEE};  // Serialize appends
    ASSERT_TRUE(info.Serialize(out));
    Bytes expected = {0xEE};
    expected.insert(expected.end(), kRecord.begin(), kRecord.end());
    EXPECT_EQ(out, expected);
    EXPECT_EQ(log.Messages(CDebugPrintf::Level::Log),
              std::vector<std::u16string>{u"Serializing info for ab to registry"});
}

TEST(DownloadInfoRecord, ReadsTheStoredLayoutBack) {
    Bytes bytes = kRecord;
    bytes.push_back(0x55);  // trailing bytes are ignored
    DownloadInfo info;
    const uint8_t* cursor = bytes.data();
    size_t remaining = bytes.size();
    ASSERT_TRUE(info.Deserialize(cursor, remaining));
    EXPECT_EQ(remaining, 1u);
    EXPECT_EQ(cursor, bytes.data() + kRecord.size());

    EXPECT_EQ(info.listPosition, 2);
    EXPECT_EQ(info.name, u"ab");
    EXPECT_EQ(info.title, u"\u00C9");
    EXPECT_EQ(info.icon, u".d/");
    EXPECT_EQ(info.total, 0x100000203ull);
    EXPECT_EQ(info.installer, u"i");
    EXPECT_EQ(info.folder, u"/d/");
    ASSERT_EQ(info.files.size(), 2u);
    EXPECT_EQ(info.files[0].id, 0u);
    EXPECT_EQ(info.files[0].name, u"a/b");
    EXPECT_EQ(info.files[0].size, 0x100000000ull);
    EXPECT_EQ(info.files[1].id, 1u);
    EXPECT_EQ(info.files[1].name, u"");
    EXPECT_EQ(info.files[1].size, 0x203u);
    EXPECT_TRUE(info.files[1].available);
    EXPECT_TRUE(info.completed);
    EXPECT_EQ(info.downloaded, info.total);
    EXPECT_EQ(info.joined, info.total);
    EXPECT_EQ(info.verified, info.total);
    EXPECT_EQ(info.state, ItemState::Completed);

    Bytes again;
    ASSERT_TRUE(info.Serialize(again));
    EXPECT_EQ(again, kRecord);
}

TEST(DownloadInfoRecord, ChunkLayout) {
    const Bytes stored = {0x10, 0,    0,    0,    0,    0,   0, 0,  // from 0x10
                          0x1F, 0,    0,    0,    1,    0,   0, 0,  // to 0x1'0000'001F
                          0x04, 0x00, 0x61, 0x00, 0x66, 0x00};      // md5 "af"
    ChunkInfo chunk;
    chunk.id = 4;  // not stored
    chunk.from = 0x10;
    chunk.to = 0x10000001Full;
    chunk.md5 = u"af";
    Bytes out;
    ASSERT_TRUE(chunk.Serialize(out));
    EXPECT_EQ(out, stored);

    ChunkInfo read;
    const uint8_t* cursor = stored.data();
    size_t remaining = stored.size();
    ASSERT_TRUE(read.Deserialize(cursor, remaining));
    EXPECT_EQ(remaining, 0u);
    EXPECT_EQ(read.from, 0x10u);
    EXPECT_EQ(read.to, 0x10000001Full);
    EXPECT_EQ(read.md5, u"af");
    EXPECT_EQ(read.Length(), 0x100000010ull);

    for (size_t length = 0; length < stored.size(); ++length) {
        ChunkInfo partial;
        cursor = stored.data();
        remaining = length;
        EXPECT_FALSE(partial.Deserialize(cursor, remaining)) << length;
        EXPECT_EQ(remaining, length);
        EXPECT_EQ(partial.md5, u"");
    }
}

// Every cut of the record, from no bytes to all but the last, fails; the warning names the game
// once the name has been read, and neither the record nor the cursor moves.
TEST(DownloadInfoRecord, EveryTruncationFailsWithTheNameReadSoFar) {
    for (size_t length = 0; length < kRecord.size(); ++length) {
        LogCapture log;
        const Bytes bytes(kRecord.begin(), kRecord.begin() + static_cast<ptrdiff_t>(length));
        DownloadInfo info(u"kept");
        info.title = u"old";
        const uint8_t* cursor = bytes.data();
        size_t remaining = bytes.size();
        EXPECT_FALSE(info.Deserialize(cursor, remaining)) << length;
        EXPECT_EQ(remaining, length);
        EXPECT_EQ(cursor, bytes.data());
        EXPECT_EQ(info.title, u"old");
        EXPECT_EQ(info.folder, u"kept");
        const std::u16string expected = length >= kNameEnd
                                            ? u"Deserialization ab from registry failed."
                                            : u"Deserialization  from registry failed.";
        EXPECT_EQ(log.Warnings(), std::vector<std::u16string>{expected}) << length;
    }
}

TEST(DownloadInfoRecord, CompletedWordAndTotals) {
    // list position, four empty strings around the total, no files, completed word, folder.
    auto record = [](uint64_t total, uint32_t completedWord) {
        Bytes bytes;
        Serializer::WriteInt32(bytes, 0);
        Serializer::WriteString(bytes, u"g");
        Serializer::WriteString(bytes, u"");
        Serializer::WriteString(bytes, u"");
        Serializer::WriteUInt64(bytes, total);
        Serializer::WriteString(bytes, u"");
        Serializer::WriteUInt32(bytes, 0);
        Serializer::WriteUInt32(bytes, completedWord);
        Serializer::WriteString(bytes, u"");
        return bytes;
    };
    struct Case {
        uint64_t total;
        uint32_t completedWord;
        bool completed;
        uint64_t counts;
        ItemState state;
    };
    const Case cases[] = {
        {5000, 1, true, 5000, ItemState::Completed},
        {5000, 2, false, 0, ItemState::Downloading},  // only exactly 1 means completed
        {5000, 0, false, 0, ItemState::Downloading},
        {0, 0, false, 0, ItemState::Downloading},  // nothing to join: not Combining
    };
    for (const Case& c : cases) {
        DownloadInfo info;
        ASSERT_TRUE(ReadRecord(record(c.total, c.completedWord), info)) << c.completedWord;
        EXPECT_EQ(info.completed, c.completed) << c.completedWord;
        EXPECT_EQ(info.downloaded, c.counts);
        EXPECT_EQ(info.joined, c.counts);
        EXPECT_EQ(info.verified, c.counts);
        EXPECT_EQ(info.state, c.state) << c.total << "/" << c.completedWord;
    }
}

TEST(DownloadInfoRecord, StringCountsAsStored) {
    // An odd count of 3 takes three bytes: "a" and a unit whose missing high byte is zero.
    DownloadInfo odd;
    ASSERT_TRUE(ReadRecord(WithName({0x03, 0x00, 0x61, 0x00, 0x62}), odd));
    EXPECT_EQ(odd.name, u"ab");
    EXPECT_EQ(odd.title, u"\u00C9");  // the next field starts right after the three bytes
    EXPECT_EQ(odd.folder, u"/d/");

    // An embedded zero character cuts the text, the cursor still moves past all of it.
    DownloadInfo cut;
    ASSERT_TRUE(ReadRecord(WithName({0x06, 0x00, 0x61, 0x00, 0x00, 0x00, 0x62, 0x00}), cut));
    EXPECT_EQ(cut.name, u"a");
    EXPECT_EQ(cut.title, u"\u00C9");

    // The largest odd count: its half unit would make the text one unit longer than a count can
    // describe, and the record could then never be stored again. The whole field is still taken.
    Bytes longest = {0xFF, 0xFF};
    longest.resize(2 + 0xFFFF, 0x61);
    DownloadInfo big;
    ASSERT_TRUE(ReadRecord(WithName(longest), big));
    EXPECT_EQ(big.name, std::u16string(Serializer::kMaxStringUnits, u'\u6161'));
    EXPECT_EQ(big.title, u"\u00C9");
    Bytes stored;
    ASSERT_TRUE(big.Serialize(stored));
    DownloadInfo again;
    ASSERT_TRUE(ReadRecord(stored, again));
    EXPECT_EQ(again.name, big.name);
}

TEST(DownloadInfoRecord, FileCountBeyondTheRemainingBytesFailsBeforeAllocating) {
    constexpr size_t kCountAt = 34;  // offset of the file count in kRecord
    ASSERT_EQ(kRecord[kCountAt], 0x02);
    // A count this large would ask for hundreds of gigabytes if it were trusted.
    for (uint32_t count : {0xFFFFFFFFu, 0x10000u, 3u}) {
        LogCapture log;
        Bytes bytes = kRecord;
        for (size_t i = 0; i < 4; ++i) {
            bytes[kCountAt + i] = static_cast<uint8_t>(count >> (8 * i));
        }
        DownloadInfo info;
        EXPECT_FALSE(ReadRecord(bytes, info)) << count;
        EXPECT_TRUE(info.files.empty());
        EXPECT_EQ(log.Warnings(),
                  std::vector<std::u16string>{u"Deserialization ab from registry failed."});
    }
}

TEST(DownloadInfoRecord, TooLongTextRefusesTheWholeRecord) {
    const std::u16string longest(Serializer::kMaxStringUnits, u'x');
    const std::u16string tooLong(Serializer::kMaxStringUnits + 1, u'x');
    {
        DownloadInfo info = FixtureRecord();
        info.title = longest;  // 65534 bytes still fit the count
        Bytes out;
        ASSERT_TRUE(info.Serialize(out));
        DownloadInfo read;
        ASSERT_TRUE(ReadRecord(out, read));
        EXPECT_EQ(read.title, longest);
    }
    // Whichever field is too long, nothing at all is written.
    for (int field = 0; field < 3; ++field) {
        LogCapture log;
        DownloadInfo info = FixtureRecord();
        (field == 0 ? info.title : field == 1 ? info.files[1].name : info.folder) = tooLong;
        Bytes out = {0xEE};
        EXPECT_FALSE(info.Serialize(out)) << field;
        EXPECT_EQ(out, Bytes{0xEE});
        EXPECT_EQ(log.Warnings(), std::vector<std::u16string>{
                                      u"Cannot serialize info for ab: a text field is too long"});
        EXPECT_TRUE(log.Messages(CDebugPrintf::Level::Log).empty());
    }
}

TEST(DownloadInfoRecord, LargeRecordsRoundTrip) {
    DownloadInfo info = FixtureRecord();
    info.files.clear();
    for (uint32_t i = 0; i < 150; ++i) {
        FileInfo file;
        file.id = i;
        file.name = u"setup/part-" + std::u16string(40, static_cast<char16_t>(u'a' + i % 26));
        file.size = 1000 + i;
        info.files.push_back(file);
    }
    Bytes out;
    ASSERT_TRUE(info.Serialize(out));
    EXPECT_GT(out.size(), 2048u * 4);
    DownloadInfo read;
    ASSERT_TRUE(ReadRecord(out, read));
    ASSERT_EQ(read.files.size(), 150u);
    EXPECT_EQ(read.files[149].name, info.files[149].name);
    EXPECT_EQ(read.files[149].size, 1149u);
    EXPECT_EQ(read.folder, u"/d/");
}

TEST(DownloadInfoRecord, NewRecordDefaults) {
    const DownloadInfo info(u"/downloads/");
    EXPECT_EQ(info.folder, u"/downloads/");
    EXPECT_EQ(info.priority, 0u);
    EXPECT_EQ(info.state, ItemState::Paused);
    EXPECT_EQ(info.errorKind, ErrorKind::None);
    EXPECT_TRUE(info.files.empty());
    EXPECT_FALSE(info.completed || info.stopped || info.detailsReceived || info.localDetailsLoaded);
    EXPECT_EQ(info.downloaded + info.joined + info.verified + info.total + info.available, 0u);
    const FileInfo file;
    EXPECT_TRUE(file.available);
    EXPECT_FALSE(file.restart);
    const ChunkInfo chunk;
    EXPECT_EQ(chunk.from + chunk.to + chunk.joined + chunk.onDisk, 0u);
    EXPECT_TRUE(chunk.md5.empty());
}

TEST(DownloadInfoRecord, CopyFromCopiesEveryFieldIncludingChunks) {
    DownloadInfo source = FixtureRecord();
    source.priority = 1000;
    source.state = ItemState::Verifying;
    source.errorKind = ErrorKind::DiskWrite;
    source.remainingSeconds = 12;
    source.detailsReceived = true;
    source.available = 77;
    source.files[0].chunks.resize(2);
    source.files[0].chunks[1].md5 = u"m";
    source.files[0].restart = true;

    DownloadInfo copy;
    copy.CopyFrom(source);
    source.files[0].chunks[1].md5 = u"changed";  // the copy is independent
    EXPECT_EQ(copy.priority, 1000u);
    EXPECT_EQ(copy.state, ItemState::Verifying);
    EXPECT_EQ(copy.errorKind, ErrorKind::DiskWrite);
    EXPECT_EQ(copy.remainingSeconds, 12u);
    EXPECT_TRUE(copy.detailsReceived);
    EXPECT_EQ(copy.available, 77u);
    ASSERT_EQ(copy.files.size(), 2u);
    EXPECT_TRUE(copy.files[0].restart);
    ASSERT_EQ(copy.files[0].chunks.size(), 2u);
    EXPECT_EQ(copy.files[0].chunks[1].md5, u"m");
}

TEST(DownloadInfoRecord, RecomputeTotalsSumsChunksAndFiles) {
    DownloadInfo info;
    info.verified = 42;  // kept
    info.available = 1;  // rebuilt
    FileInfo first;
    first.size = 300;
    first.onDisk = 999;  // rebuilt from the chunks
    for (uint64_t onDisk : {100u, 50u}) {
        ChunkInfo chunk;
        chunk.onDisk = onDisk;
        chunk.joined = onDisk / 2;
        first.chunks.push_back(chunk);
    }
    FileInfo second;
    second.size = 1000;
    second.available = false;
    ChunkInfo chunk;
    chunk.onDisk = 10;
    chunk.joined = 10;
    second.chunks.push_back(chunk);
    info.files = {first, second};

    info.RecomputeTotals();
    EXPECT_EQ(info.files[0].onDisk, 150u);
    EXPECT_EQ(info.files[0].joined, 75u);
    EXPECT_EQ(info.files[1].onDisk, 10u);
    EXPECT_EQ(info.downloaded, 160u);
    EXPECT_EQ(info.joined, 85u);
    EXPECT_EQ(info.total, 1300u);
    EXPECT_EQ(info.available, 300u);
    EXPECT_EQ(info.verified, 42u);
}

TEST(DownloadInfoRecord, RecomputeStateRules) {
    struct Case {
        ItemState before;
        bool completed;
        bool stopped;
        uint32_t priority;
        uint64_t downloaded, joined, total;
        ItemState after;
    };
    const Case cases[] = {
        {ItemState::Removing, true, false, 0, 0, 0, 0, ItemState::Removing},
        {ItemState::Failed, true, false, 0, 0, 0, 0, ItemState::Failed},
        {ItemState::Paused, true, true, 5, 0, 0, 9, ItemState::Completed},
        {ItemState::Downloading, false, true, 0, 9, 0, 9, ItemState::Paused},
        {ItemState::Downloading, false, false, 1, 9, 0, 9, ItemState::Paused},
        {ItemState::Downloading, false, false, 999, 0, 0, 9, ItemState::Paused},
        {ItemState::Paused, false, false, 1000, 9, 0, 9, ItemState::Combining},
        {ItemState::Paused, false, false, 0, 9, 3, 9, ItemState::Combining},
        {ItemState::Paused, false, false, 0, 9, 9, 9, ItemState::Downloading},
        {ItemState::Combining, false, false, 0, 8, 0, 9, ItemState::Downloading},
        {ItemState::FetchingDetails, false, false, 0, 0, 0, 0, ItemState::Downloading},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        DownloadInfo info;
        info.state = c.before;
        info.completed = c.completed;
        info.stopped = c.stopped;
        info.priority = c.priority;
        info.downloaded = c.downloaded;
        info.joined = c.joined;
        info.total = c.total;
        info.RecomputeState();
        EXPECT_EQ(info.state, c.after) << "case " << i;
    }
}
