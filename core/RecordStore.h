#pragma once
// The download records under the registry's Downloads key: one REG_BINARY value per game, named
// by the game. Loading reads every readable record in list order; saving writes one record in a
// single write. Called from the user-interface thread, the only writer of these values.
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/DownloadInfo.h"
#include "platform/Registry.h"

// The records key, opened (or created with its parents) under the spelling the program has
// always used; the store ignores letter case, so it is the settings key's "Downloads".
std::optional<RegistryKey> OpenDownloadsKey(std::shared_ptr<Registry> registry);

// Every REG_BINARY value with a non-empty name that reads as a record of the game it is named
// after (letter case aside), sorted by list position (values with equal positions keep their
// stored order). Values that fail to read, or that name another game, are skipped with a warning
// and left in the store untouched; they are read again at the next start.
std::vector<std::unique_ptr<DownloadInfo>> LoadDownloadRecords(RegistryKey& downloadsKey);

// Stores the record under its name. A record that cannot be serialised, or that has no name to
// be stored under, is not written at all: false, and the stored value (if any) stays as it was.
bool SaveDownloadRecord(RegistryKey& downloadsKey, const DownloadInfo& record);

// Stores several records in one write: far cheaper than one write each when a change of order
// touches every record. Records that cannot be serialised or have no name are left out (their
// stored values stay as they were); the others are stored all together or not at all. Returns,
// per record in order, whether it was stored.
std::vector<bool> SaveDownloadRecords(RegistryKey& downloadsKey,
                                      std::span<const DownloadInfo* const> records);

// False when there was no such record.
bool RemoveDownloadRecord(RegistryKey& downloadsKey, std::u16string_view name);
