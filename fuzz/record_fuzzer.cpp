// The stored record's binary form (DownloadInfo::Deserialize over the Serializer primitives) and
// the settings-store load path (LoadDownloadRecords) on hostile bytes: truncated and bit-flipped
// records, huge counts and lengths. Nothing crashes or reads out of bounds; a record that fails
// leaves the record and the cursor as they were; a record that reads never reads past its bytes,
// can be stored again, and reads back equal; loading keeps exactly the values that read as a
// record of the game they are named after, sorted by list position.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "core/RecordStore.h"
#include "platform/Registry.h"

namespace {

// Splits the input into the values of several records, so that one input can store a few.
constexpr std::string_view kSeparator = "\xF0VR\xF0";
constexpr size_t kMaxValues = 4;

std::vector<std::vector<uint8_t>> SplitValues(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::vector<uint8_t>> values;
    size_t start = 0;
    while (values.size() + 1 < kMaxValues) {
        const size_t at = text.find(kSeparator, start);
        if (at == std::string_view::npos) {
            break;
        }
        values.emplace_back(data + start, data + at);
        start = at + kSeparator.size();
    }
    values.emplace_back(data + start, data + size);
    return values;
}

// Reads one record from `bytes` and checks what a read must keep; the record when it read.
std::unique_ptr<DownloadInfo> ReadChecked(const uint8_t* bytes, size_t size) {
    auto record = std::make_unique<DownloadInfo>(u"/old/folder/");
    record->name = u"old";
    record->title = u"Old title";
    record->listPosition = 41;
    record->total = 99;
    record->files.resize(1);
    record->files[0].chunks.resize(2);
    const DownloadInfo before = *record;
    const uint8_t* cursor = bytes;
    size_t remaining = size;
    if (!record->Deserialize(cursor, remaining)) {
        Require(SameRecord(*record, before), "a record that fails to read is left as it was");
        Require(cursor == bytes && remaining == size, "a failed read leaves the cursor");
        return nullptr;
    }
    Require(remaining <= size && cursor == bytes + (size - remaining),
            "a read advances the cursor by what it consumed, within the bytes");

    std::vector<uint8_t> stored;
    Require(record->Serialize(stored), "a record that reads can be stored again");
    DownloadInfo again;
    const uint8_t* at = stored.data();
    size_t left = stored.size();
    Require(again.Deserialize(at, left), "a stored record reads back");
    Require(left == 0, "a stored record is read whole");
    Require(SameStoredFields(*record, again), "a stored record reads back equal");
    return record;
}

// Whether a record stored under `valueName` names that game (letter case aside).
bool NamesMatch(const std::u16string& valueName, const std::u16string& recordName) {
    if (valueName.size() != recordName.size()) {
        return false;
    }
    for (size_t i = 0; i < valueName.size(); ++i) {
        char16_t unit = recordName[i];
        if (unit >= u'A' && unit <= u'Z') {
            unit = static_cast<char16_t>(unit - u'A' + u'a');
        }
        if (unit != valueName[i]) {
            return false;
        }
    }
    return true;
}

RegistryKey& DownloadsKey() {
    static std::shared_ptr<Registry> registry =
        Registry::Open(FuzzHome() / "config" / "VelkDownloader" / "registry.sqlite3");
    static std::optional<RegistryKey> key = [] {
        Require(registry != nullptr, "the settings store opens");
        std::optional<RegistryKey> opened = OpenDownloadsKey(registry);
        Require(opened.has_value(), "the records key opens");
        // Values that are not records are passed over.
        opened->SetString(u"note", u"not a record");
        return opened;
    }();
    return *key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReadChecked(data, size);

    const std::vector<std::vector<uint8_t>> values = SplitValues(data, size);
    if (values.size() < 2) {
        return 0;  // the store is only worth its cost when the input holds several records
    }
    RegistryKey& key = DownloadsKey();
    // Stored afresh in input order, which is the order the store enumerates them in.
    const auto valueName = [](size_t i) {
        return u"game" + std::u16string(1, static_cast<char16_t>(u'0' + i));
    };
    for (size_t i = 0; i < kMaxValues; ++i) {
        key.DeleteValue(valueName(i));
    }
    std::vector<std::unique_ptr<DownloadInfo>> expected;
    for (size_t i = 0; i < values.size(); ++i) {
        Require(key.SetBinary(valueName(i), values[i]), "a record value can be stored");
        if (auto record = ReadChecked(values[i].data(), values[i].size());
            record != nullptr && NamesMatch(valueName(i), record->name)) {
            expected.push_back(std::move(record));
        }
    }
    const std::vector<std::unique_ptr<DownloadInfo>> loaded = LoadDownloadRecords(key);
    Require(loaded.size() == expected.size(),
            "loading keeps exactly the values that read as their game");
    std::stable_sort(expected.begin(), expected.end(), [](const auto& left, const auto& right) {
        return left->listPosition < right->listPosition;
    });
    for (size_t i = 0; i < loaded.size(); ++i) {
        Require(SameRecord(*loaded[i], *expected[i]), "loaded records read as their values do");
    }
    return 0;
}
