#pragma once
// The process-wide log: one UTF-16LE file, output.log in the data folder, with two backups
// (output.log~, output.log~~) rotated only by the first process of the program; later processes
// append to the same file. Every line is "[LOG]|[WRN]|[ERR] s.mmm MM/DD/YYYY hh:mm:ss message\r\n",
// also echoed to standard output as UTF-8 (an echo whose reader went away is dropped, never a
// reason to stop: SIGPIPE is held back around its writes). A message's control characters (line
// breaks among them) are written as visible escapes (core/EscapeControls.h), so a line is always
// one line. Any thread may log: one line is one unit, never mixed with another thread's line, and
// each line is a single append so lines of two processes don't mix either. The logger never fails
// loudly: while the file can't be opened (its folder not made yet) lines go to the echo only, and
// it tries again at the next line.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "core/WideFormat.h"
#include "platform/Clock.h"
#include "platform/UniqueFd.h"

class CDebugPrintf {
public:
    enum class Level { Log, Warning, Error };

    struct Options {
        // The log file; empty means the data folder's output.log, looked up at each open attempt.
        std::filesystem::path path;
        const Clock* clock = &Clock::System();
        // Where the echo goes; -1 for nowhere.
        int echoFd = 1;
    };

    // Messages are cut to this many UTF-16 units (escapes included), as the platform formatter
    // did.
    static constexpr size_t kMaxMessageLength = 1024;
    static constexpr std::u16string_view kHeader = u"VelkDownloader, ver. 0.9.0.1336 (release)";
    static constexpr std::u16string_view kSeparator = u"\r\n------\r\n";

    CDebugPrintf();  // default options
    explicit CDebugPrintf(Options options);
    virtual ~CDebugPrintf();
    CDebugPrintf(const CDebugPrintf&) = delete;
    CDebugPrintf& operator=(const CDebugPrintf&) = delete;

    template <class... Args>
    void Log(std::u16string_view format, const Args&... args) {
        Emit(Level::Log, format, args...);
    }
    template <class... Args>
    void Warning(std::u16string_view format, const Args&... args) {
        Emit(Level::Warning, format, args...);
    }
    template <class... Args>
    void Error(std::u16string_view format, const Args&... args) {
        Emit(Level::Error, format, args...);
    }

    // Formats and writes one line; on a thread that holds its lines back (core/HeldLogLines.h)
    // the line is kept for later instead.
    void Write(Level level, std::u16string_view format, std::span<const FormatArg> args);

    // Called under the line lock with each finished line (prefix and message, without "\r\n"),
    // whether or not the file could be written. For front ends that show log lines and for tests;
    // the observer must not log.
    using LineObserver = std::function<void(Level level, std::u16string_view line)>;
    void SetObserver(LineObserver observer);

    // Turns the echo to the options' echoFd on or off for the lines that follow (on at start).
    // A headless front end that draws its own progress keeps the log off the terminal this way.
    void SetEcho(bool on);

    // The file in use (empty until it could be opened).
    std::filesystem::path FilePath() const;
    // Whether this logger rotated the backups and wrote the header (it was the first process).
    bool StartedLog() const;

    // The default log path: $XDG_DATA_HOME/VelkDownloader/output.log.
    static std::filesystem::path DefaultPath();

private:
    template <class... Args>
    void Emit(Level level, std::u16string_view format, const Args&... args) {
        if constexpr (sizeof...(Args) == 0) {
            Write(level, format, {});
        } else {
            const FormatArg list[] = {FormatArg(args)...};
            Write(level, format, list);
        }
    }

    friend class HeldLogLines;
    // Writes one formatted, escaped message with its prefix, as the line of this moment.
    void WriteLine(Level level, std::u16string_view message);
    bool EnsureOpenLocked();
    std::u16string Prefix(Level level) const;

    Options options_;
    mutable std::mutex lineLock_;
    LineObserver observer_;
    bool echo_ = true;       // guarded by lineLock_
    bool echoGone_ = false;  // guarded by lineLock_: the echo's reader went away
    UniqueFd fileFd_;
    UniqueFd lockFd_;
    bool startedLog_ = false;
    std::filesystem::path openPath_;
    uint32_t baseline_ = 0;
};

// The logger of this process, created on first use.
CDebugPrintf& Logger();
