#pragma once
// A small typed key-value store in SQLite that stands in for the per-user registry.
// Keys are paths written with "\\" ("Software\\Velkora\\VelkDownloader\\Downloads"); key and value
// names match without regard to letter case. Each write is one transaction (atomic, survives a
// crash); WAL mode and a busy time-out let two processes share one file.
// A Registry may be used from any thread (its connection is guarded by a lock); RegistryKey is a
// cheap handle (registry + path) that may be copied freely.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum RegistryType : uint32_t {
    REG_SZ = 1,      // UTF-16LE text, stored without a terminator
    REG_BINARY = 3,  // raw bytes
    REG_DWORD = 4,   // 4 bytes, little-endian
};

struct RegistryValue {
    std::u16string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

class Registry {
public:
    // Opens or creates the store at `file` (its folder is created if missing). nullptr on failure.
    static std::shared_ptr<Registry> Open(const std::filesystem::path& file);
    // Opens an existing store for reading only: no schema, no reserve, and every write is
    // refused. A reader beside a running writer sees each of its transactions whole. Beside a
    // store that nobody has open, SQLite makes its write-ahead log and shared-memory files (the
    // log empty) and a reader can't remove them; they serve the next writer as they are.
    // nullptr when there is no such file, or it is not a store.
    static std::shared_ptr<Registry> OpenReadOnly(const std::filesystem::path& file);
    // $XDG_CONFIG_HOME/VelkDownloader/registry.sqlite3
    static std::filesystem::path DefaultPath();

    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

private:
    friend class RegistryKey;
    class Impl;
    Impl& impl() { return *impl_; }

    explicit Registry(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

class RegistryKey {
public:
    // Opens an existing key; nullopt when it does not exist or the store fails.
    static std::optional<RegistryKey> Open(std::shared_ptr<Registry> registry,
                                           std::u16string_view path);
    // Opens a key, creating it and every missing parent first.
    static std::optional<RegistryKey> Create(std::shared_ptr<Registry> registry,
                                             std::u16string_view path);

    std::optional<RegistryKey> OpenSubKey(std::u16string_view relative) const;
    std::optional<RegistryKey> CreateSubKey(std::u16string_view relative) const;

    // Writers return false when the store refuses the write; nothing is half-written then.
    bool SetValue(std::u16string_view name, uint32_t type, std::span<const uint8_t> data);
    bool SetString(std::u16string_view name, std::u16string_view value);
    bool SetDword(std::u16string_view name, uint32_t value);
    bool SetBinary(std::u16string_view name, std::span<const uint8_t> data);
    // Writes all of `values` in one transaction: every one is stored, or none is. Many values
    // written together cost one flush to the disk instead of one each.
    bool SetValues(std::span<const RegistryValue> values);
    bool DeleteValue(std::u16string_view name);  // false when absent

    std::optional<RegistryValue> Query(std::u16string_view name) const;
    std::optional<std::u16string> QueryString(std::u16string_view name) const;  // REG_SZ only
    std::optional<uint32_t> QueryDword(std::u16string_view name) const;         // REG_DWORD only

    // The value at `index` in a stable order (creation order); nullopt past the last one.
    std::optional<RegistryValue> EnumValue(uint32_t index) const;

    const std::u16string& Path() const { return path_; }

private:
    RegistryKey(std::shared_ptr<Registry> registry, std::u16string path);
    std::shared_ptr<Registry> registry_;
    std::u16string path_;
};
