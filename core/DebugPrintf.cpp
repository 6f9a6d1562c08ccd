#include "core/DebugPrintf.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "core/EscapeControls.h"
#include "core/HeldLogLines.h"
#include "core/TextUtil.h"
#include "platform/KnownFolders.h"
#include "platform/UniqueFd.h"

namespace fs = std::filesystem;

namespace {

// The whole lock file's first byte is the "log is open" marker: a process that can lock it for
// writing is the only one running and rotates the backups; everyone then holds it for reading.
// Open-file-description locks let us turn the write lock into a read lock atomically, so a process
// starting during a rotation waits for the fresh header instead of racing it.
bool LockByte(int fd, short type, bool wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 1;
    int result;
    do {
        result = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

void AppendUtf16Le(std::string& bytes, std::u16string_view text) {
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

// The echo's reader may go away at any time (a pager closed, "| head", a journal restarting).
// Writing to a pipe without a reader raises SIGPIPE, whose default ends the process, and the log
// must never stop the program: the signal is held back in this thread for the write, and one the
// write raised is taken before the old mask returns. Returns false with errno as the write left
// it.
bool WriteEcho(int fd, const std::string& bytes) {
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &old);
    const bool ok = WriteAll(fd, bytes);
    const int error = errno;
    // Already held back by the caller: what is pending is theirs to take.
    if (!ok && error == EPIPE && sigismember(&old, SIGPIPE) == 0) {
        const timespec noWait{0, 0};
        sigtimedwait(&pipeOnly, nullptr, &noWait);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return ok;
}

std::string FreshLogContents() {
    std::string bytes("\xFF\xFE", 2);  // byte-order mark U+FEFF, little-endian
    AppendUtf16Le(bytes, CDebugPrintf::kHeader);
    AppendUtf16Le(bytes, CDebugPrintf::kSeparator);
    return bytes;
}

// Creates the log with its header; false if it exists already or cannot be made.
bool CreateFreshLog(const fs::path& path, bool replace) {
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (replace ? O_TRUNC : O_EXCL);
    const UniqueFd fd(::open(path.c_str(), flags, 0600));
    return fd && WriteAll(fd.Get(), FreshLogContents());
}

void RotateBackups(const fs::path& log) {
    // Renames, not copies: an interrupted rotation never leaves a half-copied backup, and
    // nothing can hold the old file open while we are the only process of the program.
    const fs::path first = log.string() + "~";
    const fs::path second = log.string() + "~~";
    std::error_code ignored;
    fs::rename(first, second, ignored);
    fs::rename(log, first, ignored);
}

}  // namespace

CDebugPrintf::CDebugPrintf() : CDebugPrintf(Options{}) {}

CDebugPrintf::CDebugPrintf(Options options) : options_(std::move(options)) {
    baseline_ = options_.clock->TickCount();
    std::lock_guard<std::mutex> guard(lineLock_);
    EnsureOpenLocked();
}

CDebugPrintf::~CDebugPrintf() {
    fileFd_.Reset();
    lockFd_.Reset();  // releases the marker lock
}

fs::path CDebugPrintf::DefaultPath() {
    return DataHomeFolder() / "VelkDownloader" / "output.log";
}

void CDebugPrintf::SetObserver(LineObserver observer) {
    std::lock_guard<std::mutex> guard(lineLock_);
    observer_ = std::move(observer);
}

void CDebugPrintf::SetEcho(bool on) {
    std::lock_guard<std::mutex> guard(lineLock_);
    echo_ = on;
}

fs::path CDebugPrintf::FilePath() const {
    std::lock_guard<std::mutex> guard(lineLock_);
    return openPath_;
}

bool CDebugPrintf::StartedLog() const {
    std::lock_guard<std::mutex> guard(lineLock_);
    return startedLog_;
}

bool CDebugPrintf::EnsureOpenLocked() {
    if (fileFd_) {
        return true;
    }
    const fs::path path = options_.path.empty() ? DefaultPath() : options_.path;
    std::error_code error;
    // The logger makes no folders: start-up does, and until then lines reach the echo only.
    if (!fs::is_directory(path.parent_path(), error)) {
        return false;
    }
    if (!lockFd_) {
        const fs::path lockPath = path.string() + ".lock";
        lockFd_.Reset(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!lockFd_) {
            return false;
        }
        if (LockByte(lockFd_.Get(), F_WRLCK, false)) {
            RotateBackups(path);
            startedLog_ = CreateFreshLog(path, true);
            LockByte(lockFd_.Get(), F_RDLCK, true);
        } else if (!LockByte(lockFd_.Get(), F_RDLCK, true)) {
            lockFd_.Reset();
            return false;
        }
    }
    fileFd_.Reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW));
    if (!fileFd_ && errno == ENOENT) {
        // The file went away under a running program: start it again with a proper header
        // rather than appending text without its byte-order mark.
        CreateFreshLog(path, false);
        fileFd_.Reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW));
    }
    if (!fileFd_) {
        return false;
    }
    openPath_ = path;
    return true;
}

std::u16string CDebugPrintf::Prefix(Level level) const {
    static constexpr std::u16string_view kFormats[] = {
        u"[LOG] %d.%03d %02d/%02d/%02d %02d:%02d:%02d  ",
        u"[WRN] %d.%03d %02d/%02d/%02d %02d:%02d:%02d  ",
        u"[ERR] %d.%03d %02d/%02d/%02d %02d:%02d:%02d  ",
    };
    const uint32_t elapsed = options_.clock->TickCount() - baseline_;
    const LocalTime now = options_.clock->Now();
    return FormatWide(kFormats[static_cast<int>(level)], elapsed / 1000, elapsed % 1000, now.month,
                      now.day, now.year, now.hour, now.minute, now.second);
}

void CDebugPrintf::Write(Level level, std::u16string_view format, std::span<const FormatArg> args) {
    // A line is one line whatever a message carries (a server's reply, a title): its line breaks
    // and other controls are shown escaped, here for every caller. The cut never splits an escape
    // or a surrogate pair.
    std::u16string message = EscapeControls(FormatWideArgs(format, args), kMaxMessageLength);
    if (HeldLogLines* held = LogHold::Current()) {
        held->lines_.push_back({this, level, std::move(message)});
        return;
    }
    WriteLine(level, message);
}

void CDebugPrintf::WriteLine(Level level, std::u16string_view message) {
    std::lock_guard<std::mutex> guard(lineLock_);
    std::u16string line = Prefix(level);
    line += message;
    if (EnsureOpenLocked()) {
        std::string bytes;
        bytes.reserve((line.size() + 2) * 2);
        AppendUtf16Le(bytes, line);
        AppendUtf16Le(bytes, u"\r\n");
        WriteAll(fileFd_.Get(), bytes);  // one append: lines of two processes never mix
    }
    if (echo_ && !echoGone_ && options_.echoFd >= 0) {
        // A pipe whose reader went away stays so: no line after this one could arrive.
        if (!WriteEcho(options_.echoFd, WideToUtf8(line) + "\r\n") && errno == EPIPE) {
            echoGone_ = true;
        }
    }
    if (observer_) {
        observer_(level, line);
    }
}

CDebugPrintf& Logger() {
    static CDebugPrintf logger;
    return logger;
}
