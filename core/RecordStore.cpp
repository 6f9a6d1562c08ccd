#include "core/RecordStore.h"

#include <algorithm>

#include "core/DebugPrintf.h"

namespace {

// The store matches value names without regard to ASCII letter case.
bool SameNameIgnoringCase(std::u16string_view left, std::u16string_view right) {
    const auto lower = [](char16_t unit) {
        return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
    };
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(),
                      [&](char16_t a, char16_t b) { return lower(a) == lower(b); });
}

}  // namespace

std::optional<RegistryKey> OpenDownloadsKey(std::shared_ptr<Registry> registry) {
    constexpr std::u16string_view kPath = u"Software\\Velkora\\VELKDOWNLOADER\\DOWNLOADS";
    // Opened before it is created: creating takes the store's write lock, which another process
    // may hold for a while, and reading the records needs no lock at all.
    if (std::optional<RegistryKey> key = RegistryKey::Open(registry, kPath)) {
        return key;
    }
    return RegistryKey::Create(std::move(registry), kPath);
}

std::vector<std::unique_ptr<DownloadInfo>> LoadDownloadRecords(RegistryKey& downloadsKey) {
    std::vector<std::unique_ptr<DownloadInfo>> records;
    for (uint32_t index = 0;; ++index) {
        std::optional<RegistryValue> value = downloadsKey.EnumValue(index);
        if (!value) {
            break;
        }
        if (value->type != REG_BINARY || value->name.empty()) {
            Logger().Warning(u"Skipping the stored value \"%s\": not a download record.",
                             value->name);
            continue;
        }
        auto record = std::make_unique<DownloadInfo>();
        const uint8_t* cursor = value->data.data();
        size_t remaining = value->data.size();
        if (!record->Deserialize(cursor, remaining)) {
            continue;  // its warning is logged
        }
        // A record is stored under its own name; one that reads as another game's is damaged,
        // and listing it would put a second record beside the real one at the next save.
        if (!SameNameIgnoringCase(record->name, value->name)) {
            Logger().Warning(u"Skipping the stored record \"%s\": it names \"%s\".", value->name,
                             record->name);
            continue;
        }
        records.push_back(std::move(record));
    }
    std::stable_sort(records.begin(), records.end(), [](const auto& left, const auto& right) {
        return left->listPosition < right->listPosition;
    });
    return records;
}

namespace {

// The record's stored bytes, or nothing (with a warning) when it cannot be stored.
std::optional<std::vector<uint8_t>> StoredForm(const DownloadInfo& record) {
    if (record.name.empty()) {
        // A value without a name is skipped when loading: storing it would only leave litter.
        Logger().Warning(u"Cannot store a download record without a name");
        return std::nullopt;
    }
    std::vector<uint8_t> data;
    if (!record.Serialize(data)) {
        return std::nullopt;
    }
    return data;
}

}  // namespace

bool SaveDownloadRecord(RegistryKey& downloadsKey, const DownloadInfo& record) {
    const std::optional<std::vector<uint8_t>> data = StoredForm(record);
    return data && downloadsKey.SetBinary(record.name, *data);
}

std::vector<bool> SaveDownloadRecords(RegistryKey& downloadsKey,
                                      std::span<const DownloadInfo* const> records) {
    std::vector<bool> stored(records.size(), false);
    std::vector<RegistryValue> values;
    values.reserve(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        if (std::optional<std::vector<uint8_t>> data = StoredForm(*records[i])) {
            values.push_back({records[i]->name, REG_BINARY, std::move(*data)});
            stored[i] = true;
        }
    }
    if (!values.empty() && !downloadsKey.SetValues(values)) {
        std::fill(stored.begin(), stored.end(), false);
    }
    return stored;
}

bool RemoveDownloadRecord(RegistryKey& downloadsKey, std::u16string_view name) {
    return downloadsKey.DeleteValue(name);
}
