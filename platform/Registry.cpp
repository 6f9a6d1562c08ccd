#include "platform/Registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/CrashPoint.h"
#include "platform/KnownFolders.h"
#include "platform/UniqueFd.h"
#include "platform/Utf8.h"

namespace fs = std::filesystem;

namespace {

// "A\\\\B\\" and "\\A\\B" both mean "A\\B": empty components are dropped.
std::u16string NormaliseKeyPath(std::u16string_view path) {
    std::u16string out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) {
            end = path.size();
        }
        if (end > start) {
            if (!out.empty()) {
                out += u'\\';
            }
            out.append(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return out;
}

std::u16string JoinKeyPath(std::u16string_view base, std::u16string_view relative) {
    std::u16string joined(base);
    joined += u'\\';
    joined.append(relative);
    return NormaliseKeyPath(joined);
}

struct DatabaseCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;

struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Leaves a cached statement reusable (reset, bindings cleared) however the call ends.
class StatementUse {
public:
    explicit StatementUse(const Statement& statement) : statement_(statement.get()) {}
    ~StatementUse() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
    StatementUse(const StatementUse&) = delete;
    StatementUse& operator=(const StatementUse&) = delete;
    sqlite3_stmt* get() const { return statement_; }

private:
    sqlite3_stmt* statement_;
};

bool BindText(sqlite3_stmt* statement, int index, const std::string& text) {
    return sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                             SQLITE_TRANSIENT) == SQLITE_OK;
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
    const auto* text = sqlite3_column_text(statement, column);
    const int size = sqlite3_column_bytes(statement, column);
    return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(size))
                : std::string();
}

// Creates the missing folders of `folder` one by one, each private to the user; folders that
// already exist keep the mode they have.
bool MakePrivateFolders(const fs::path& folder) {
    if (folder.empty()) {
        return true;
    }
    std::error_code error;
    if (fs::is_directory(folder, error)) {
        return true;
    }
    if (!MakePrivateFolders(folder.parent_path())) {
        return false;
    }
    return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS reg_keys(key TEXT PRIMARY KEY COLLATE NOCASE);"
    "CREATE TABLE IF NOT EXISTS reg_values(key TEXT NOT NULL COLLATE NOCASE,"
    " name TEXT NOT NULL COLLATE NOCASE, type INTEGER NOT NULL, data BLOB NOT NULL,"
    " PRIMARY KEY(key, name));";

constexpr int kBusyTimeoutMs = 5000;

// Room kept beside the store so that a full disk can't lock the user's settings in: when SQLite
// finds no room for its write-ahead log, the reserve is given up and the write tried again, so
// that removing a game or storing a record still works; it is taken back once there is room.
constexpr off_t kReserveBytes = 256 * 1024;

fs::path ReservePath(const fs::path& file) {
    fs::path reserve = file;
    reserve += ".reserve";
    return reserve;
}

// Makes (or completes) the reserve; on a disk without that much room nothing is left of it.
bool TakeReserve(const fs::path& reserve) {
    struct stat info {};
    if (::lstat(reserve.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_blocks * 512 >= kReserveBytes) {
        return true;
    }
    UniqueFd fd(::open(reserve.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        return false;
    }
    const bool taken = ::posix_fallocate(fd.Get(), 0, kReserveBytes) == 0;
    fd.Reset();
    if (!taken) {
        ::unlink(reserve.c_str());
    }
    return taken;
}

// Gives the reserve's room back to the disk; false when there was none to give.
bool ReleaseReserve(const fs::path& reserve) {
    return ::unlink(reserve.c_str()) == 0;
}

}  // namespace

// Owns the one connection and its prepared statements; every method takes the lock, so a
// Registry may be shared by any number of threads. Enumeration relies on rowids staying in
// creation order, which holds as long as nobody VACUUMs the file (we never do).
class Registry::Impl {
public:
    static std::unique_ptr<Impl> Open(const fs::path& file) {
        if (!MakePrivateFolders(file.parent_path())) {
            return nullptr;
        }
        const fs::path reserve = ReservePath(file);
        std::unique_ptr<Impl> impl = OpenOnce(file, reserve);
        // Opening writes (the log and its index); on a full disk the reserve makes the room.
        if (!impl && ReleaseReserve(reserve)) {
            impl = OpenOnce(file, reserve);
        }
        if (impl) {
            impl->reserveHeld_ = TakeReserve(reserve);
        }
        return impl;
    }

    static std::unique_ptr<Impl> OpenReadOnly(const fs::path& file) {
        sqlite3* raw = nullptr;
        const int opened = sqlite3_open_v2(file.c_str(), &raw,
                                           SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
        Database db(raw);
        if (opened != SQLITE_OK) {
            return nullptr;
        }
        sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
        sqlite3_extended_result_codes(db.get(), 1);
        auto impl = std::unique_ptr<Impl>(new Impl(std::move(db), ReservePath(file)));
        impl->readOnly_ = true;
        if (!impl->PrepareStatements()) {
            return nullptr;
        }
        return impl;
    }

    static std::unique_ptr<Impl> OpenOnce(const fs::path& file, const fs::path& reserve) {
        // Made here rather than by SQLite so that the file is private from its first byte;
        // SQLite gives the -wal and -shm files the same mode. The descriptor closes at once.
        if (!UniqueFd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))) {
            return nullptr;
        }

        sqlite3* raw = nullptr;
        const int opened = sqlite3_open_v2(file.c_str(), &raw,
                                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        Database db(raw);
        if (opened != SQLITE_OK) {
            return nullptr;
        }
        sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
        sqlite3_extended_result_codes(db.get(), 1);

        auto impl = std::unique_ptr<Impl>(new Impl(std::move(db), reserve));
        if (!impl->Initialise()) {
            return nullptr;
        }
        return impl;
    }

    // Inserts `path` and each of its parents that is missing, all in one transaction.
    bool CreateKey(std::u16string_view path) {
        std::lock_guard lock(lock_);
        return Write([&] {
            bool ok = true;
            for (size_t end = 0; ok && end != std::u16string_view::npos;) {
                end = path.find(u'\\', end + 1);
                const std::string prefix = EncodeUtf8(path.substr(0, end));
                StatementUse use(insertKey_);
                ok = BindText(use.get(), 1, prefix) && sqlite3_step(use.get()) == SQLITE_DONE;
            }
            return ok;
        });
    }

    // The key's spelling as first stored, found without regard to letter case.
    std::optional<std::u16string> FindKey(std::u16string_view path) {
        std::lock_guard lock(lock_);
        StatementUse use(findKey_);
        if (!BindText(use.get(), 1, EncodeUtf8(path)) || sqlite3_step(use.get()) != SQLITE_ROW) {
            return std::nullopt;
        }
        return DecodeUtf8(ColumnText(use.get(), 0));
    }

    // An update keeps the row and so the value's place in the enumeration.
    bool SetValue(std::u16string_view key, std::u16string_view name, uint32_t type,
                  std::span<const uint8_t> data) {
        std::lock_guard lock(lock_);
        return Write([&] { return Upsert(key, name, type, data); });
    }

    bool SetValues(std::u16string_view key, std::span<const RegistryValue> values) {
        std::lock_guard lock(lock_);
        return Write([&] {
            return std::all_of(values.begin(), values.end(), [&](const RegistryValue& value) {
                return Upsert(key, value.name, value.type, value.data);
            });
        });
    }

    bool DeleteValue(std::u16string_view key, std::u16string_view name) {
        std::lock_guard lock(lock_);
        bool removed = false;
        const bool written = Write([&] {
            StatementUse use(deleteValue_);
            const bool ok = BindText(use.get(), 1, EncodeUtf8(key)) &&
                            BindText(use.get(), 2, EncodeUtf8(name)) &&
                            sqlite3_step(use.get()) == SQLITE_DONE;
            removed = ok && sqlite3_changes(db_.get()) > 0;
            return ok;
        });
        return written && removed;
    }

    std::optional<RegistryValue> Query(std::u16string_view key, std::u16string_view name) {
        std::lock_guard lock(lock_);
        StatementUse use(queryValue_);
        if (!BindText(use.get(), 1, EncodeUtf8(key)) || !BindText(use.get(), 2, EncodeUtf8(name))) {
            return std::nullopt;
        }
        return ReadRow(use.get());
    }

    std::optional<RegistryValue> Enumerate(std::u16string_view key, uint32_t index) {
        std::lock_guard lock(lock_);
        StatementUse use(enumValue_);
        if (!BindText(use.get(), 1, EncodeUtf8(key)) ||
            sqlite3_bind_int64(use.get(), 2, index) != SQLITE_OK) {
            return std::nullopt;
        }
        return ReadRow(use.get());
    }

    // A reserve given up while the disk was full is taken back from the room that closing
    // frees (SQLite removes its log then), so that the next start finds it again.
    ~Impl() {
        if (reserveHeld_ || readOnly_) {
            return;
        }
        for (Statement* statement :
             {&insertKey_, &findKey_, &upsertValue_, &deleteValue_, &queryValue_, &enumValue_}) {
            statement->reset();
        }
        db_.reset();
        TakeReserve(reserve_);
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

private:
    Impl(Database db, fs::path reserve) : db_(std::move(db)), reserve_(std::move(reserve)) {}

    // One value written inside the transaction that the caller holds.
    bool Upsert(std::u16string_view key, std::u16string_view name, uint32_t type,
                std::span<const uint8_t> data) {
        StatementUse use(upsertValue_);
        static const uint8_t kEmpty = 0;
        const bool ok = BindText(use.get(), 1, EncodeUtf8(key)) &&
                        BindText(use.get(), 2, EncodeUtf8(name)) &&
                        sqlite3_bind_int64(use.get(), 3, type) == SQLITE_OK &&
                        sqlite3_bind_blob64(use.get(), 4, data.empty() ? &kEmpty : data.data(),
                                            data.size(), SQLITE_TRANSIENT) == SQLITE_OK &&
                        sqlite3_step(use.get()) == SQLITE_DONE;
        if (ok && type == REG_BINARY) {
            CrashPoint("record-storing");
        }
        return ok;
    }

    // One transaction around `body` (true when its statements did what they should). When the
    // disk is full, the reserve is given up and the whole transaction run once more; after a
    // write that worked, a reserve given up earlier is taken back if there is room again.
    template <class Body>
    bool Write(Body body) {
        if (readOnly_) {
            return false;
        }
        bool written = Transaction(body);
        if (!written && OutOfRoom() && reserveHeld_ && ReleaseReserve(reserve_)) {
            reserveHeld_ = false;
            written = Transaction(body);
        }
        if (written && !reserveHeld_) {
            reserveHeld_ = TakeReserve(reserve_);
        }
        return written;
    }

    template <class Body>
    bool Transaction(Body& body) {
        failure_ = SQLITE_OK;
        if (!Begin()) {
            failure_ = sqlite3_extended_errcode(db_.get());
            return false;
        }
        return Finish(body());
    }

    // Whether the last transaction failed for want of room on the disk.
    bool OutOfRoom() const {
        const int code = failure_;
        return (code & 0xFF) == SQLITE_FULL || code == SQLITE_IOERR_WRITE ||
               code == SQLITE_IOERR_SHMSIZE || code == SQLITE_IOERR_FSYNC;
    }

    bool Exec(const char* sql) {
        return sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    }

    // Switching a new file to WAL and creating the schema can meet another process doing the
    // same; SQLite then answers "busy" at once, without its busy handler, so wait here instead.
    bool ExecRetryingWhileBusy(const char* sql) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
        for (;;) {
            const int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
            if (rc == SQLITE_OK) {
                return true;
            }
            const int primary = rc & 0xFF;
            if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) ||
                std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    bool Prepare(Statement& statement, const char* sql) {
        sqlite3_stmt* raw = nullptr;
        const int rc =
            sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
        statement.reset(raw);
        return rc == SQLITE_OK;
    }

    // A file that is not a database, or one whose pages are damaged, is refused here and left
    // as it is: it is the user's, and may still be rescued by hand.
    bool Initialise() {
        if (!ExecRetryingWhileBusy("PRAGMA journal_mode=WAL") || !ExecRetryingWhileBusy(kSchema)) {
            return false;
        }
        Statement check;
        if (!Prepare(check, "PRAGMA quick_check") || sqlite3_step(check.get()) != SQLITE_ROW ||
            ColumnText(check.get(), 0) != "ok") {
            return false;
        }
        check.reset();
        // The default synchronous level of a WAL database flushes at every commit, so a
        // written value survives a power cut as well as a crash of the program.
        return PrepareStatements();
    }

    // Fails on a file without the store's tables.
    bool PrepareStatements() {
        return Prepare(insertKey_, "INSERT OR IGNORE INTO reg_keys(key) VALUES(?1)") &&
               Prepare(findKey_, "SELECT key FROM reg_keys WHERE key = ?1") &&
               Prepare(upsertValue_,
                       "INSERT INTO reg_values(key, name, type, data) VALUES(?1, ?2, ?3, ?4)"
                       " ON CONFLICT(key, name) DO UPDATE SET type = excluded.type,"
                       " data = excluded.data") &&
               Prepare(deleteValue_, "DELETE FROM reg_values WHERE key = ?1 AND name = ?2") &&
               Prepare(queryValue_,
                       "SELECT name, type, data FROM reg_values WHERE key = ?1 AND name = ?2") &&
               Prepare(enumValue_,
                       "SELECT name, type, data FROM reg_values WHERE key = ?1"
                       " ORDER BY rowid LIMIT 1 OFFSET ?2");
    }

    // IMMEDIATE takes the write lock at once, so a second process makes us wait in the busy
    // handler instead of failing half-way through with a stale snapshot.
    bool Begin() { return Exec("BEGIN IMMEDIATE"); }

    // Commits, or rolls back after keeping the reason of the failure for OutOfRoom.
    bool Finish(bool ok) {
        if (ok && Exec("COMMIT")) {
            return true;
        }
        failure_ = sqlite3_extended_errcode(db_.get());
        Exec("ROLLBACK");
        return false;
    }

    static std::optional<RegistryValue> ReadRow(sqlite3_stmt* statement) {
        if (sqlite3_step(statement) != SQLITE_ROW) {
            return std::nullopt;
        }
        RegistryValue value;
        value.name = DecodeUtf8(ColumnText(statement, 0));
        value.type = static_cast<uint32_t>(sqlite3_column_int64(statement, 1));
        const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement, 2));
        const int size = sqlite3_column_bytes(statement, 2);
        if (bytes && size > 0) {
            value.data.assign(bytes, bytes + size);
        }
        return value;
    }

    std::mutex lock_;
    Database db_;
    const fs::path reserve_;
    bool reserveHeld_ = false;
    bool readOnly_ = false;    // opened by OpenReadOnly: no write, and the reserve is not ours
    int failure_ = SQLITE_OK;  // of the last transaction that failed
    // Declared after the connection so that they are finalised before it closes.
    Statement insertKey_;
    Statement findKey_;
    Statement upsertValue_;
    Statement deleteValue_;
    Statement queryValue_;
    Statement enumValue_;
};

std::shared_ptr<Registry> Registry::Open(const fs::path& file) {
    auto impl = Impl::Open(file);
    if (!impl) {
        return nullptr;
    }
    return std::shared_ptr<Registry>(new Registry(std::move(impl)));
}

std::shared_ptr<Registry> Registry::OpenReadOnly(const fs::path& file) {
    std::error_code error;
    if (!fs::is_regular_file(file, error)) {
        return nullptr;
    }
    auto impl = Impl::OpenReadOnly(file);
    if (!impl) {
        return nullptr;
    }
    return std::shared_ptr<Registry>(new Registry(std::move(impl)));
}

fs::path Registry::DefaultPath() {
    return ConfigHomeFolder() / "VelkDownloader" / "registry.sqlite3";
}

Registry::Registry(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Registry::~Registry() = default;

RegistryKey::RegistryKey(std::shared_ptr<Registry> registry, std::u16string path)
    : registry_(std::move(registry)), path_(std::move(path)) {}

std::optional<RegistryKey> RegistryKey::Open(std::shared_ptr<Registry> registry,
                                             std::u16string_view path) {
    const std::u16string normalised = NormaliseKeyPath(path);
    if (!registry || normalised.empty()) {
        return std::nullopt;
    }
    auto stored = registry->impl().FindKey(normalised);
    if (!stored) {
        return std::nullopt;
    }
    return RegistryKey(std::move(registry), std::move(*stored));
}

std::optional<RegistryKey> RegistryKey::Create(std::shared_ptr<Registry> registry,
                                               std::u16string_view path) {
    const std::u16string normalised = NormaliseKeyPath(path);
    if (!registry || normalised.empty() || !registry->impl().CreateKey(normalised)) {
        return std::nullopt;
    }
    return Open(std::move(registry), normalised);
}

std::optional<RegistryKey> RegistryKey::OpenSubKey(std::u16string_view relative) const {
    return Open(registry_, JoinKeyPath(path_, relative));
}

std::optional<RegistryKey> RegistryKey::CreateSubKey(std::u16string_view relative) const {
    return Create(registry_, JoinKeyPath(path_, relative));
}

bool RegistryKey::SetValue(std::u16string_view name, uint32_t type, std::span<const uint8_t> data) {
    return registry_->impl().SetValue(path_, name, type, data);
}

bool RegistryKey::SetString(std::u16string_view name, std::u16string_view value) {
    std::vector<uint8_t> bytes;
    bytes.reserve(value.size() * 2);
    for (const char16_t unit : value) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return SetValue(name, REG_SZ, bytes);
}

bool RegistryKey::SetDword(std::u16string_view name, uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return SetValue(name, REG_DWORD, bytes);
}

bool RegistryKey::SetBinary(std::u16string_view name, std::span<const uint8_t> data) {
    return SetValue(name, REG_BINARY, data);
}

bool RegistryKey::SetValues(std::span<const RegistryValue> values) {
    return registry_->impl().SetValues(path_, values);
}

bool RegistryKey::DeleteValue(std::u16string_view name) {
    return registry_->impl().DeleteValue(path_, name);
}

std::optional<RegistryValue> RegistryKey::Query(std::u16string_view name) const {
    return registry_->impl().Query(path_, name);
}

std::optional<std::u16string> RegistryKey::QueryString(std::u16string_view name) const {
    auto value = Query(name);
    if (!value || value->type != REG_SZ) {
        return std::nullopt;
    }
    std::u16string text;
    text.reserve(value->data.size() / 2);
    for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
        text += static_cast<char16_t>(value->data[i] | (value->data[i + 1] << 8));
    }
    // Text written by other tools may carry its terminator; it is not part of the value.
    while (!text.empty() && text.back() == u'\0') {
        text.pop_back();
    }
    return text;
}

std::optional<uint32_t> RegistryKey::QueryDword(std::u16string_view name) const {
    auto value = Query(name);
    if (!value || value->type != REG_DWORD || value->data.size() != 4) {
        return std::nullopt;
    }
    const auto& d = value->data;
    return static_cast<uint32_t>(d[0]) | (static_cast<uint32_t>(d[1]) << 8) |
           (static_cast<uint32_t>(d[2]) << 16) | (static_cast<uint32_t>(d[3]) << 24);
}

std::optional<RegistryValue> RegistryKey::EnumValue(uint32_t index) const {
    return registry_->impl().Enumerate(path_, index);
}
