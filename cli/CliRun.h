#pragma once
// One run of the headless front end, from its command line to its exit code: the options, then
// `list` or `remove` (ListCommand.h, RemoveCommand.h), or a download run - start-up (or hand-over
// to a running instance), sign-in, the downloads watched to their end, and the shutdown in the
// quit order with the report of each game, as text or as JSON lines. It owns the registry, the
// terminal rows, the application and the program core of a download run. Main thread only; `Run`
// once.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "cli/CliOptions.h"

class CVelkDownloaderApp;
class DownloadWatch;
class JsonProgress;
class MessageQueue;
class ProgramCore;
class Registry;
class TerminalRows;
class TerminalUi;

class CliRun {
public:
    CliRun(int argc, char** argv);
    ~CliRun();
    CliRun(const CliRun&) = delete;
    CliRun& operator=(const CliRun&) = delete;

    // The whole run; returns the exit code (see cli/main.cpp).
    int Run();

private:
    // Each phase returns whether the run goes on; one that ends it has set `code_`.
    bool ReadOptions();
    int RunDownloads();
    bool StartInstance();
    bool ApplyOptions();
    void StartEngines();
    bool SignIn();
    void WatchDownloads();
    void Shutdown();

    // Steps of the watch loop.
    void TakeHandOffs();
    bool HandleMessages();
    void NoteWhileOffline();
    void ReportOutcome();
    // A failure of the whole run: said on standard error and, with --json, as every game's result.
    void FailRun(const std::string& why);

    int argc_;
    char** argv_;
    int code_ = 0;
    bool interrupted_ = false;
    bool signInFailed_ = false;
    bool hadStoredToken_ = false;
    std::optional<CliOptions> options_;
    sigset_t stopSignals_{};

    // Declared in the order they start, so they end in reverse: the hand-off receiver's callback
    // counts into `pendingHandOffs_`, the core posts into `queue_` and draws into `rows_`.
    std::shared_ptr<Registry> registry_;
    std::unique_ptr<TerminalRows> rows_;
    std::unique_ptr<TerminalUi> ui_;
    std::unique_ptr<CVelkDownloaderApp> app_;
    std::unique_ptr<MessageQueue> queue_;
    std::atomic<int> pendingHandOffs_{0};
    std::unique_ptr<ProgramCore> core_;
    std::unique_ptr<DownloadWatch> watch_;
    std::unique_ptr<JsonProgress> json_;  // with --json only

    // The watch loop's notice of a store that stays silent.
    std::chrono::steady_clock::time_point offlineSince_;
    bool offlineNoted_ = false;
};
