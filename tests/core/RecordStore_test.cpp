#include "core/RecordStore.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "support/TempHome.h"

namespace {

DownloadInfo Record(std::u16string name, int32_t listPosition) {
    DownloadInfo info(u"/games/");
    info.name = std::move(name);
    info.title = u"Title of " + info.name;
    info.listPosition = listPosition;
    FileInfo file;
    file.name = u"setup.sh";
    file.size = 1234;
    info.files.push_back(file);
    info.total = 1234;
    return info;
}

std::vector<std::u16string> Names(const std::vector<std::unique_ptr<DownloadInfo>>& records) {
    std::vector<std::u16string> names;
    for (const auto& record : records) {
        names.push_back(record->name);
    }
    return names;
}

class RecordStoreTest : public ::testing::Test {
protected:
    TempDir dir_;
    std::shared_ptr<Registry> registry_ = Registry::Open(dir_.Path() / "registry.sqlite3");
};

}  // namespace

TEST_F(RecordStoreTest, RecordsLiveUnderTheSettingsKeysDownloads) {
    ASSERT_TRUE(registry_);
    auto key = OpenDownloadsKey(registry_);
    ASSERT_TRUE(key);
    ASSERT_TRUE(SaveDownloadRecord(*key, Record(u"mygame", 0)));

    auto settings = RegistryKey::Open(registry_, u"Software\\Velkora\\VelkDownloader\\Downloads");
    ASSERT_TRUE(settings);
    auto stored = settings->Query(u"mygame");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, REG_BINARY);
    std::vector<uint8_t> expected;
    ASSERT_TRUE(Record(u"mygame", 0).Serialize(expected));
    EXPECT_EQ(stored->data, expected);

    // Opening again finds the same key, and the record comes back whole.
    auto again = OpenDownloadsKey(registry_);
    ASSERT_TRUE(again);
    auto loaded = LoadDownloadRecords(*again);
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0]->name, u"mygame");
    EXPECT_EQ(loaded[0]->title, u"Title of mygame");
    EXPECT_EQ(loaded[0]->folder, u"/games/");
    ASSERT_EQ(loaded[0]->files.size(), 1u);
    EXPECT_EQ(loaded[0]->files[0].size, 1234u);
}

TEST_F(RecordStoreTest, LoadingSortsStablyAndSkipsWhatIsNotARecord) {
    ASSERT_TRUE(registry_);
    auto key = OpenDownloadsKey(registry_);
    ASSERT_TRUE(key);
    ASSERT_TRUE(SaveDownloadRecord(*key, Record(u"c", 2)));
    ASSERT_TRUE(SaveDownloadRecord(*key, Record(u"b", 1)));
    ASSERT_TRUE(key->SetString(u"text", u"not a record"));
    ASSERT_TRUE(key->SetBinary(u"broken", std::vector<uint8_t>{1, 2, 3}));
    ASSERT_TRUE(SaveDownloadRecord(*key, Record(u"a", 1)));  // same position as b, stored later
    std::vector<uint8_t> unnamed;
    ASSERT_TRUE(Record(u"unnamed", -5).Serialize(unnamed));
    ASSERT_TRUE(key->SetBinary(u"", unnamed));
    ASSERT_TRUE(SaveDownloadRecord(*key, Record(u"d", 0)));

    LogCapture log;
    const auto loaded = LoadDownloadRecords(*key);
    EXPECT_EQ(Names(loaded), (std::vector<std::u16string>{u"d", u"b", u"a", u"c"}));
    // Each value that is skipped says so.
    EXPECT_EQ(log.Warnings(), (std::vector<std::u16string>{
                                  u"Skipping the stored value \"text\": not a download record.",
                                  u"Deserialization  from registry failed.",
                                  u"Skipping the stored value \"\": not a download record."}));
    // The unreadable value stays for the next start.
    auto broken = key->Query(u"broken");
    ASSERT_TRUE(broken);
    EXPECT_EQ(broken->data, (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(RecordStoreTest, ARecordNamingAnotherGameIsSkipped) {
    ASSERT_TRUE(registry_);
    auto key = OpenDownloadsKey(registry_);
    ASSERT_TRUE(key);
    ASSERT_TRUE(SaveDownloadRecord(*key, Record(u"game", 0)));
    // A damaged name: listed, it would stand beside "game" and could never be removed.
    std::vector<uint8_t> damaged;
    ASSERT_TRUE(Record(u"gamf", 1).Serialize(damaged));
    ASSERT_TRUE(key->SetBinary(u"other", damaged));
    // The same name in another letter case is the same value to the store.
    std::vector<uint8_t> cased;
    ASSERT_TRUE(Record(u"Second", 2).Serialize(cased));
    ASSERT_TRUE(key->SetBinary(u"sECOND", cased));

    LogCapture log;
    const auto loaded = LoadDownloadRecords(*key);
    EXPECT_EQ(Names(loaded), (std::vector<std::u16string>{u"game", u"Second"}));
    EXPECT_EQ(log.Warnings(), std::vector<std::u16string>{
                                  u"Skipping the stored record \"other\": it names \"gamf\"."});
    EXPECT_TRUE(key->Query(u"other"));
}

TEST_F(RecordStoreTest, UpdatingAndRemovingRecords) {
    ASSERT_TRUE(registry_);
    auto key = OpenDownloadsKey(registry_);
    ASSERT_TRUE(key);
    ASSERT_TRUE(SaveDownloadRecord(*key, Record(u"a", 0)));
    ASSERT_TRUE(SaveDownloadRecord(*key, Record(u"b", 0)));
    DownloadInfo changed = Record(u"A", 0);  // names ignore letter case
    changed.completed = true;
    ASSERT_TRUE(SaveDownloadRecord(*key, changed));

    auto loaded = LoadDownloadRecords(*key);
    ASSERT_EQ(Names(loaded), (std::vector<std::u16string>{u"A", u"b"}));  // kept its place
    EXPECT_TRUE(loaded[0]->completed);
    EXPECT_EQ(loaded[0]->state, ItemState::Completed);

    EXPECT_TRUE(RemoveDownloadRecord(*key, u"a"));
    EXPECT_FALSE(RemoveDownloadRecord(*key, u"a"));
    EXPECT_EQ(Names(LoadDownloadRecords(*key)), std::vector<std::u16string>{u"b"});
}

TEST_F(RecordStoreTest, ARecordThatCannotBeStoredLeavesTheStoredValueAlone) {
    ASSERT_TRUE(registry_);
    auto key = OpenDownloadsKey(registry_);
    ASSERT_TRUE(key);
    ASSERT_TRUE(SaveDownloadRecord(*key, Record(u"game", 3)));
    const auto before = key->Query(u"game");
    ASSERT_TRUE(before);

    LogCapture log;
    DownloadInfo tooLong = Record(u"game", 4);
    tooLong.files[0].name.assign(40000, u'n');
    EXPECT_FALSE(SaveDownloadRecord(*key, tooLong));
    DownloadInfo fresh = Record(u"other", 1);
    fresh.installer.assign(40000, u'i');
    EXPECT_FALSE(SaveDownloadRecord(*key, fresh));
    EXPECT_FALSE(SaveDownloadRecord(*key, Record(u"", 1)));
    EXPECT_EQ(log.Warnings(), (std::vector<std::u16string>{
                                  u"Cannot serialize info for game: a text field is too long",
                                  u"Cannot serialize info for other: a text field is too long",
                                  u"Cannot store a download record without a name"}));

    const auto after = key->Query(u"game");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->data, before->data);
    EXPECT_EQ(key->Query(u"other"), std::nullopt);
    EXPECT_EQ(key->EnumValue(1), std::nullopt);
}

TEST_F(RecordStoreTest, RecordsStoredTogetherLeaveOutOnlyThoseThatCannotBeStored) {
    ASSERT_TRUE(registry_);
    auto key = OpenDownloadsKey(registry_);
    ASSERT_TRUE(key);
    ASSERT_TRUE(SaveDownloadRecord(*key, Record(u"b", 0)));
    const auto before = key->Query(u"b");

    LogCapture log;
    const DownloadInfo a = Record(u"a", 1);
    DownloadInfo b = Record(u"b", 2);
    b.installer.assign(40000, u'i');  // too long to store: its old value stays
    const DownloadInfo unnamed = Record(u"", 3);
    const DownloadInfo c = Record(u"c", 0);
    const std::vector<const DownloadInfo*> records = {&a, &b, &unnamed, &c};
    EXPECT_EQ(SaveDownloadRecords(*key, records), (std::vector<bool>{true, false, false, true}));
    EXPECT_EQ(log.Warnings().size(), 2U);
    EXPECT_EQ(key->Query(u"b")->data, before->data);
    EXPECT_EQ(Names(LoadDownloadRecords(*key)), (std::vector<std::u16string>{u"b", u"c", u"a"}));
    EXPECT_EQ(SaveDownloadRecords(*key, {}), std::vector<bool>{});
}
