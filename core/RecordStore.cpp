#include "core/RecordStore.h"

#include <algorithm>

#include "core/DebugPrintf.h"

namespace {

// Value names are found without regard to ASCII letter case, as the store compares them.
bool SameValueName(std::u16string_view a, std::u16string_view b) {
    const auto lower = [](char16_t unit) {
        return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
    };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](auto x, auto y) { return lower(x) == lower(y); });
}

}  // namespace

std::optional<RegistryKey> OpenDownloadsKey(std::shared_ptr<Registry> registry) {
    return RegistryKey::Create(std::move(registry),
                               u"Software\\Velkora\\VELKDOWNLOADER\\DOWNLOADS");
}

std::vector<std::unique_ptr<DownloadInfo>> LoadDownloadRecords(RegistryKey& downloadsKey) {
    std::vector<std::unique_ptr<DownloadInfo>> records;
    for (uint32_t index = 0;; ++index) {
        std::optional<RegistryValue> value = downloadsKey.EnumValue(index);
        if (!value) {
            break;
        }
        if (value->type != REG_BINARY || value->name.empty()) {
            continue;
        }
        auto record = std::make_unique<DownloadInfo>();
        const uint8_t* cursor = value->data.data();
        size_t remaining = value->data.size();
        if (!record->Deserialize(cursor, remaining)) {
            continue;
        }
        // Records are stored under their game's name. One that names another game was damaged:
        // kept, it would stand beside that game's own record, and it could never be updated or
        // removed under the name it carries.
        if (!SameValueName(value->name, record->name)) {
            Logger().Warning(u"Record stored as %s names the game %s; it is skipped.", value->name,
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

bool SaveDownloadRecord(RegistryKey& downloadsKey, const DownloadInfo& record) {
    if (record.name.empty()) {
        // A value without a name is skipped when loading: storing it would only leave litter.
        Logger().Warning(u"Cannot store a download record without a name");
        return false;
    }
    std::vector<uint8_t> data;
    if (!record.Serialize(data)) {
        return false;
    }
    return downloadsKey.SetBinary(record.name, data);
}

bool RemoveDownloadRecord(RegistryKey& downloadsKey, std::u16string_view name) {
    return downloadsKey.DeleteValue(name);
}
