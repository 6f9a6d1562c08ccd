// The phases of one run of the headless front end; see cli/main.cpp for what the program does and
// its exit codes.
#include "cli/CliRun.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "api/ApiBaseUrl.h"
#include "app/CVelkDownloaderApp.h"
#include "app/CommandLine.h"
#include "app/ProgramCore.h"
#include "cli/DownloadWatch.h"
#include "cli/ExitCodes.h"
#include "cli/GameReport.h"
#include "cli/JsonProgress.h"
#include "cli/ListCommand.h"
#include "cli/RemoveCommand.h"
#include "cli/TerminalRows.h"
#include "cli/TerminalUi.h"
#include "core/DebugPrintf.h"
#include "core/Deployment.h"
#include "core/EscapeControls.h"
#include "core/MessageQueue.h"
#include "core/TextUtil.h"

namespace {

// How long the store's site may stay silent before the user is told what we wait for.
constexpr std::chrono::seconds kOfflineNotice{5};

// A second instance: the first URL went with start-up's hand-off; the others follow one by one,
// each taking the token that the running instance returns.
int HandOver(const CVelkDownloaderApp& app, const CliOptions& options) {
    if (app.LastHandOffResult() != HandOffSendResult::Delivered) {
        PrintError("another instance runs but did not take the games over");
        return kExitFailed;
    }
    for (size_t i = 1; i < options.urls.size(); ++i) {
        const char* const argv[] = {"velkdownloader-cli", options.urls[i].c_str()};
        const HandOffSendResult sent =
            SendHandOff(JoinCommandLine(argv), CVelkDownloaderApp::kHandOffWait);
        if (sent != HandOffSendResult::Delivered) {
            PrintError("another instance runs but did not take " + options.urls[i] + " over");
            return kExitFailed;
        }
    }
    std::string line = "Handed over to the running instance:";
    for (const std::u16string& game : options.games) {
        // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict overlap in the
        // inlined `" " + string` form.
        line += ' ';
        line += EscapeControlsUtf8(WideToUtf8(game));
    }
    // With --json standard output carries JSON only, and there is no result of ours to give.
    std::fprintf(options.json ? stderr : stdout, "%s\n", line.c_str());
    return 0;
}

std::string SignInFailure(const CliOptions& options, bool hadStoredToken) {
    if (options.email) {
        return "sign-in failed for " + *options.email +
               ": the store refused the e-mail address or password";
    }
    if (!hadStoredToken) {
        return "not signed in: no sign-in is stored for this user; sign in once with --email E "
               "(the password is asked for)";
    }
    return "the stored sign-in was refused by the store; sign in again with --email E "
           "(the password is asked for)";
}

}  // namespace

CliRun::CliRun(int argc, char** argv) : argc_(argc), argv_(argv) {}

CliRun::~CliRun() = default;

int CliRun::Run() {
    if (!ReadOptions()) {
        return code_;
    }
    switch (options_->command) {
        case CliCommand::List:
            return ListGames(options_->json);
        case CliCommand::Remove:
            return RemoveGame(options_->removeGame, options_->deleteFiles);
        case CliCommand::Download:
            break;
    }
    return RunDownloads();
}

int CliRun::RunDownloads() {
    if (StartInstance() && ApplyOptions()) {
        StartEngines();
        if (SignIn()) {
            WatchDownloads();
        }
        Shutdown();
    }
    // Started by StartInstance whatever its outcome, so ended on every path.
    app_->ExitInstance();
    return code_;
}

bool CliRun::ReadOptions() {
    CliParse parse = ParseCliOptions(argc_, argv_);
    if (parse.help || parse.version) {
        std::fputs(parse.help ? CliUsage() : "velkdownloader-cli " VELK_VERSION "\n", stdout);
        return false;
    }
    if (!parse.options) {
        PrintError(parse.error);
        std::fputs(CliUsage(), stderr);
        code_ = kExitUsage;
        return false;
    }
    options_ = std::move(*parse.options);
    // The log still goes to its file; the terminal shows our own lines unless asked for more.
    Logger().SetEcho(options_->verbose);
    if (options_->passwordStdin) {
        // Read before anything starts: a run without its password is a usage error, not a start.
        options_->password = ReadPasswordLine();
        if (!options_->password) {
            PrintError("--password-stdin: no password on the first line of standard input");
            std::fputs(CliUsage(), stderr);
            code_ = kExitUsage;
            return false;
        }
    }
    return true;
}

bool CliRun::StartInstance() {
    registry_ = Registry::Open(Registry::DefaultPath());
    if (options_->json) {
        // Standard output is the JSON lines': the rows are kept but never drawn, and the notes
        // above them go to standard error.
        rows_ = std::make_unique<TerminalRows>(STDERR_FILENO, false);
        json_ = std::make_unique<JsonProgress>();
    } else {
        // With the log echoed the rows are plain lines, so the two never overwrite each other.
        rows_ = std::make_unique<TerminalRows>(STDOUT_FILENO,
                                               isatty(STDOUT_FILENO) != 0 && !options_->verbose);
    }
    ui_ = std::make_unique<TerminalUi>(*rows_);

    CVelkDownloaderApp::Options appOptions;
    appOptions.registry = registry_;
    {
        const char* const first[] = {argv_[0], options_->urls.front().c_str()};
        appOptions.commandLine = JoinCommandLine(first);
    }
    app_ = std::make_unique<CVelkDownloaderApp>(*ui_, appOptions);
    const StartupOutcome outcome = app_->InitInstance();
    if (outcome == StartupOutcome::RunWindow) {
        return true;
    }
    std::string why;
    if (outcome == StartupOutcome::SecondInstance) {
        code_ = HandOver(*app_, *options_);
        why = "another instance runs but did not take the games over";
    } else {
        code_ = kExitFailed;  // start-up said why
        why = WideToUtf8(ui_->LastError());
    }
    if (code_ != kExitDone && json_) {
        PrintResultsAsJson(FailAll(options_->games, why));
    }
    return false;
}

bool CliRun::ApplyOptions() {
    CVelkDownloaderApp& app = *app_;
    CliOptions& options = *options_;
    if (options.folder) {
        std::error_code error;
        const std::filesystem::path folder = std::filesystem::absolute(*options.folder, error);
        std::filesystem::create_directories(folder, error);
        if (error || !std::filesystem::is_directory(folder)) {
            FailRun("cannot create folder " + *options.folder);
            return false;
        }
        app.SetDownloadFolder(Utf8ToWide(folder.string()), false);
    }
    if (options.connections) {
        app.SetConcurrentConnections(static_cast<int32_t>(*options.connections));
    }
    if (options.email && !options.password) {
        options.password = AskPassword(*options.email);
        if (!options.password) {
            PrintError("no password given for " + *options.email);
            code_ = kExitUsage;
            return false;
        }
    }
    return true;
}

void CliRun::StartEngines() {
    // Signals are taken synchronously by the watch loop; blocked before any thread starts, so
    // every thread inherits the mask and none of them is interrupted.
    sigemptyset(&stopSignals_);
    sigaddset(&stopSignals_, SIGINT);
    sigaddset(&stopSignals_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals_, nullptr);

    queue_ = std::make_unique<MessageQueue>();
    if (HandOffReceiver* receiver = app_->HandOff()) {
        receiver->Start([this] { pendingHandOffs_.fetch_add(1); });
    }

    hadStoredToken_ = !ItemLifecycle::ReadStoredCredentials(registry_).token.empty();
    ProgramCore::Settings settings;
    settings.registry = registry_;
    settings.dataFolder = app_->GetDataFolder();
    settings.downloadFolder = [app = app_.get()] { return app->GetDownloadFolder(); };
    settings.engine.concurrentConnections = static_cast<uint32_t>(app_->GetConcurrentConnections());
    // --limit-rate for this run, else the setting.
    settings.engine.maxDownloadRate =
        options_->limitRate ? *options_->limitRate : uint64_t{app_->GetMaxDownloadRate()} * 1024;
    core_ = std::make_unique<ProgramCore>(ProgramCore::Frontend{*queue_, *rows_, *ui_}, settings);
    rows_->SetSink(&core_->Lifecycle());

    watch_ = std::make_unique<DownloadWatch>(options_->games);
    for (const DownloadWatch::Game& game : watch_->Games()) {
        if (!json_) {
            rows_->Show(game.name);
        }
    }
}

bool CliRun::SignIn() {
    std::optional<ProgramCore::Account> account;
    if (options_->email) {
        account =
            ProgramCore::Account{Utf8ToWide(*options_->email), Utf8ToWide(*options_->password)};
    }
    if (!core_->Start(account)) {
        const std::u16string url = ApiBaseUrl();
        std::string why;
        if (const auto parsed = ParseApiBase(url);
            const std::u16string* problem = std::get_if<std::u16string>(&parsed)) {
            why = ": " + WideToUtf8(*problem);
        }
        FailRun("the store's API address " + WideToUtf8(url) + " can't be used" + why);
        return false;
    }
    return true;
}

void CliRun::WatchDownloads() {
    ProgramCore& core = *core_;
    DownloadWatch& watch = *watch_;
    TerminalRows& rows = *rows_;
    watch.HoldBackOthers(core.Lifecycle());
    // The window's own command line comes last in its start; so do ours.
    for (const std::u16string& game : options_->games) {
        if (core.Lifecycle().AddItemFromUrl(game) == ItemLifecycle::AddResult::ListFull) {
            rows.Note("The list already holds 100 games: " + WideToUtf8(game) + " is not added");
        }
    }
    watch.Update(core.Lifecycle(), rows, *ui_);

    offlineSince_ = std::chrono::steady_clock::now();
    offlineNoted_ = false;
    for (;;) {
        const timespec now{0, 0};
        const int signal = sigtimedwait(&stopSignals_, nullptr, &now);
        if (signal == SIGINT || signal == SIGTERM) {
            interrupted_ = true;
            break;
        }
        TakeHandOffs();
        const bool settled = HandleMessages();
        rows.Render();
        if (json_) {
            json_->Update(core.Lifecycle(), rows, watch);
        }
        if (ui_->SignInFailed()) {
            signInFailed_ = true;
            break;
        }
        if (settled || watch.Update(core.Lifecycle(), rows, *ui_)) {
            break;
        }
        NoteWhileOffline();
    }
    rows.Render(true);
    if (json_) {
        json_->Update(core.Lifecycle(), rows, watch);
    }
}

void CliRun::TakeHandOffs() {
    CVelkDownloaderApp& app = *app_;
    while (pendingHandOffs_.load() > 0 && app.HandOff() != nullptr) {
        pendingHandOffs_.fetch_sub(1);
        if (std::optional<std::u16string> added = core_->TakeHandOff(*app.HandOff())) {
            if (watch_->Add(*added)) {
                if (!json_) {
                    rows_->Show(*added);
                }
                rows_->Note("Added by another start: " + WideToUtf8(*added));
            }
        }
    }
}

// Handles what the queue holds (waiting a little for the first); returns whether every game
// asked for has settled.
bool CliRun::HandleMessages() {
    ProgramCore& core = *core_;
    DownloadWatch& watch = *watch_;
    MessageQueue& queue = *queue_;
    bool settled = false;
    std::optional<AppEvent> message = queue.Take(std::chrono::milliseconds(100));
    int handled = 0;
    while (message && !settled) {
        if (const DetailsReply* reply = std::get_if<DetailsReply>(&*message)) {
            if ((reply->kind & DetailsReply::kFinal) != 0 ||
                reply->result != DetailsReply::kSuccess) {
                watch.NoteDetailsReply(reply->gameName);
            }
        }
        if (const ItemFinished* finished = std::get_if<ItemFinished>(&*message)) {
            if (!finished->partially) {
                watch.NoteFinished(finished->gameName);
            }
        }
        core.HandleMessage(std::move(*message));
        watch.HoldBackOthers(core.Lifecycle());
        // After every message: a refused game's notice belongs to the message that
        // removed it.
        settled = watch.Update(core.Lifecycle(), *rows_, *ui_);
        // A busy queue still lets signals and the display through now and then.
        if (++handled == 256) {
            break;
        }
        message = queue.TryTake();
    }
    return settled;
}

void CliRun::NoteWhileOffline() {
    if (core_->Lifecycle().Online()) {
        offlineSince_ = std::chrono::steady_clock::now();
        offlineNoted_ = false;
    } else if (!offlineNoted_ &&
               std::chrono::steady_clock::now() - offlineSince_ > kOfflineNotice) {
        rows_->Note("Waiting for the store's site to answer: " + WideToUtf8(SiteBaseUrl()));
        offlineNoted_ = true;
    }
}

void CliRun::Shutdown() {
    // The quit order: downloads manager, loader, connections manager, speed meter.
    core_->Quit();
    ReportOutcome();
    app_->Shutdown();
}

void CliRun::ReportOutcome() {
    if (signInFailed_) {
        FailRun(SignInFailure(*options_, hadStoredToken_));
        return;
    }
    if (code_ != 0) {
        return;  // the run failed before its downloads, and said so
    }
    // Reading a game's files may take a while: a stop signal still ends it.
    const auto proceed = [] {
        sigset_t pending;
        sigemptyset(&pending);
        return sigpending(&pending) != 0 ||
               (sigismember(&pending, SIGINT) != 1 && sigismember(&pending, SIGTERM) != 1);
    };
    const bool stopped = interrupted_;
    bool checksStopped = false;
    const std::vector<GameResult> results =
        JudgeGames(core_->Lifecycle(), *watch_, proceed, stopped, checksStopped);
    interrupted_ = stopped || checksStopped;
    if (json_) {
        PrintResultsAsJson(results);
        code_ = std::all_of(results.begin(), results.end(),
                            [](const GameResult& result) {
                                return result.outcome == GameResult::Outcome::Completed;
                            })
                    ? kExitDone
                    : kExitFailed;
    } else if (!stopped) {
        code_ = PrintResultsAsText(results) ? kExitDone : kExitFailed;
    }
    if (stopped) {
        rows_->Note("Interrupted: stopped. What was downloaded stays and the next run resumes it.");
    } else if (interrupted_) {
        rows_->Note("Interrupted: stopped before every file was checked.");
    }
    if (interrupted_) {
        code_ = kExitInterrupted;
    }
}

void CliRun::FailRun(const std::string& why) {
    PrintError(why);
    code_ = kExitFailed;
    if (json_ && options_) {
        PrintResultsAsJson(FailAll(options_->games, why));
    }
}
