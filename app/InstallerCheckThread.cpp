#include "app/InstallerCheckThread.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "core/DebugPrintf.h"
#include "engine/BlockFile.h"
#include "engine/Md5Context.h"

InstallerCheckThread::InstallerCheckThread(MessageTarget& target) : target_(target) {}

InstallerCheckThread::~InstallerCheckThread() {
    Stop();
}

void InstallerCheckThread::Start() {
    thread_.Start([this](Event& stop) { Loop(stop); });
}

void InstallerCheckThread::Check(const std::u16string& gameName, const std::u16string& path,
                                 const std::u16string& expectedDigest) {
    auto check = std::make_unique<InstallerCheck>();
    check->gameName = gameName;
    check->path = path;
    check->expectedDigest = expectedDigest;
    queue_.Push(std::move(check));
}

void InstallerCheckThread::Stop() {
    thread_.RequestStop();
    thread_.Join();
}

void InstallerCheckThread::Loop(Event& stop) {
    for (;;) {
        if (WaitAny({&stop, &queue_.NotEmpty()}) == 0) {
            return;
        }
        std::unique_ptr<InstallerCheck> check = queue_.TakeFirst();
        if (!check) {
            continue;
        }
        // One report per 1/64 of the file at most: enough for the row's percentage to move,
        // without flooding the window's queue with a report per block of a large file.
        uint64_t size = 0;
        if (const std::optional<std::string> path = FittingPath(check->path)) {
            std::error_code error;
            size = std::filesystem::file_size(*path, error);
            size = error ? 0 : size;
        }
        uint64_t reported = 0;
        const auto progress = [&](uint64_t bytes) {
            // The end needs no report: the answer follows at once.
            if (bytes >= size || bytes - reported < size / 64) {
                return;
            }
            reported = bytes;
            target_.Post(InstallerCheckProgress{.gameName = check->gameName, .byteCount = bytes});
        };
        Run(
            *check, [&stop] { return !stop.IsSet(); }, progress);
        if (stop.IsSet()) {
            return;
        }
        target_.Post(InstallerChecked{std::move(*check)});
    }
}

void InstallerCheckThread::Run(InstallerCheck& check, const std::function<bool()>& proceed,
                               const std::function<void(uint64_t)>& progress) {
    check.passed = false;
    check.identity.reset();
    check.digest.clear();
    const std::optional<std::string> path = FittingPath(check.path);
    if (!path) {
        return;
    }
    const OpenedFile file = OpenForReading(*path);
    if (!file.fd) {
        Logger().Warning(u"Cannot read installer %s to check it: %s", check.path,
                         ErrorText(file.error));
        return;
    }
    const std::optional<FileIdentity> before = IdentityOfFd(file.fd.Get());
    Md5Context digest;
    std::vector<uint8_t> buffer(kDiskBlockSize);
    uint64_t read = 0;
    for (;;) {
        if (proceed && !proceed()) {
            return;
        }
        const ssize_t got = ReadFull(file.fd.Get(), buffer.data(), buffer.size());
        if (got < 0) {
            Logger().Warning(u"Cannot read installer %s to check it", check.path);
            return;
        }
        if (got == 0) {
            break;
        }
        digest.Update(buffer.data(), static_cast<size_t>(got));
        read += static_cast<uint64_t>(got);
        if (progress) {
            progress(read);
        }
    }
    digest.Finalize();
    check.digest = digest.HexDigest();
    // The same file before and after, and still the one the path names: what was read is what
    // would be started.
    const std::optional<FileIdentity> after = IdentityOfFd(file.fd.Get());
    if (!SameFile(before, after) || !SameFile(IdentityOfPath(*path), after)) {
        Logger().Warning(u"Installer %s changed while it was checked", check.path);
        return;
    }
    check.passed = check.digest == check.expectedDigest;
    if (check.passed) {
        check.identity = after;
    }
}
