// velkdownloader-cli: the headless front end. It runs the same start-up, settings, lifecycle and
// engines as the window, signs in, adds the games named on its command line as the window would
// and downloads them one at a time in list order, showing each game's row as a line of text.
//
//   velkdownloader-cli [--email E [--password-stdin | --password P]] [--connections N]
//                      [--folder DIR] [--verbose] velkdownloader://GAME [velkdownloader://GAME ...]
//
// The password is asked for without echo, or read from standard input: a command line is open to
// every local user, so --password stays only for scripts that accept that.
//
// Exit codes: 0 every game completed and verified, 1 a game or the sign-in failed, 2 a usage
// error, 130 interrupted (SIGINT/SIGTERM; the engines stop in the quit order and what is on disk
// stays for the next run). A start while another instance runs hands its games over and ends.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "api/ApiBaseUrl.h"
#include "app/CVelkDownloaderApp.h"
#include "app/CommandLine.h"
#include "app/ProgramCore.h"
#include "cli/CliOptions.h"
#include "cli/DownloadWatch.h"
#include "cli/TerminalRows.h"
#include "cli/TerminalUi.h"
#include "core/DebugPrintf.h"
#include "core/Deployment.h"
#include "core/EscapeControls.h"
#include "core/MessageQueue.h"
#include "core/TextUtil.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

// How long the store's site may stay silent before the user is told what we wait for.
constexpr std::chrono::seconds kOfflineNotice{5};

// Messages name games, files and the store's own words: their control characters are printed
// as visible escapes, never handed to the terminal.
void PrintError(const std::string& text) {
    std::fprintf(stderr, "velkdownloader-cli: %s\n", EscapeControlsUtf8(text).c_str());
    std::fflush(stderr);
}

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
    std::printf("Handed over to the running instance:");
    for (const std::u16string& game : options.games) {
        std::printf(" %s", EscapeControlsUtf8(WideToUtf8(game)).c_str());
    }
    std::printf("\n");
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

// The outcome of each game, on standard output (completed) or standard error (failed). A game
// whose finished files are not all on disk at their sizes counts as failed. "Verified" means a
// digest was checked in this run: a game the engine did not finish now (completed in an earlier
// run) has its files read and compared with their digests here. `proceed` is asked while files
// are read; when it says no, `interrupted` is set and the report ends.
bool ReportGames(ProgramCore& core, DownloadWatch& watch, const std::function<bool()>& proceed,
                 bool& interrupted) {
    bool allDone = true;
    for (const DownloadWatch::Game& game : watch.Games()) {
        const std::string name = EscapeControlsUtf8(WideToUtf8(game.name));
        if (game.outcome != DownloadWatch::Outcome::Completed) {
            PrintError(
                name + ": " +
                (game.outcome == DownloadWatch::Outcome::Failed ? game.message : "not finished"));
            allDone = false;
            continue;
        }
        const DownloadInfo* item = core.Lifecycle().FindItem(game.name);
        if (item == nullptr) {
            PrintError(name + ": the record is gone");
            allDone = false;
            continue;
        }
        using Digest = DownloadWatch::FileCheck::Digest;
        const bool readDigests = !game.checkedThisRun;
        std::vector<std::string> missing;
        std::vector<std::string> differing;
        std::string lines;
        for (const DownloadWatch::FileCheck& file :
             DownloadWatch::CheckFiles(*item, readDigests, proceed)) {
            if (file.digest == Digest::kStopped) {
                interrupted = true;
                return false;
            }
            if (!file.present || file.sizeOnDisk != file.expectedSize) {
                missing.push_back(file.path);
            } else if (readDigests && file.digest != Digest::kMatches) {
                differing.push_back(file.path);
            }
            lines += "  " + EscapeControlsUtf8(file.path) + "  " + std::to_string(file.sizeOnDisk) +
                     " bytes\n";
        }
        if (!missing.empty()) {
            PrintError(name + ": completed, but " + missing.front() +
                       " is not on disk at its size");
            allDone = false;
            continue;
        }
        if (!differing.empty()) {
            PrintError(name + ": completed in an earlier run, but " + differing.front() +
                       " does not match its digest; remove the game with its files and download "
                       "it again");
            allDone = false;
            continue;
        }
        std::printf("%s (%s): completed and verified, %zu file(s) in %s\n%s", name.c_str(),
                    EscapeControlsUtf8(WideToUtf8(item->title)).c_str(), item->files.size(),
                    EscapeControlsUtf8(WideToUtf8(item->folder)).c_str(), lines.c_str());
    }
    std::fflush(stdout);
    return allDone;
}

}  // namespace

int main(int argc, char** argv) {
    // Standard output may be a pipe whose reader goes away (a pager closed, "| head", a journal
    // restarting): a write to it then fails with EPIPE, which every writer here ignores, instead
    // of raising SIGPIPE and ending the program in the middle of a download. This front end
    // starts no other program, so no child inherits the ignored signal.
    signal(SIGPIPE, SIG_IGN);
    Logger();  // opened before start-up, as the program's first object

    CliParse parse = ParseCliOptions(argc, argv);
    if (parse.help) {
        std::fputs(CliUsage(), stdout);
        return 0;
    }
    if (!parse.options) {
        PrintError(parse.error);
        std::fputs(CliUsage(), stderr);
        return kExitUsage;
    }
    CliOptions& options = *parse.options;
    if (options.passwordStdin) {
        // Read before anything starts: a run without its password is a usage error, not a start.
        options.password = ReadPasswordLine();
        if (!options.password) {
            PrintError("--password-stdin: no password on the first line of standard input");
            std::fputs(CliUsage(), stderr);
            return kExitUsage;
        }
    }
    // The log still goes to its file; the terminal shows our own lines unless asked for more.
    Logger().SetEcho(options.verbose);

    std::shared_ptr<Registry> registry = Registry::Open(Registry::DefaultPath());
    // With the log echoed the rows are plain lines, so the two never overwrite each other.
    TerminalRows rows(STDOUT_FILENO, isatty(STDOUT_FILENO) != 0 && !options.verbose);
    TerminalUi ui(rows);

    CVelkDownloaderApp::Options appOptions;
    appOptions.registry = registry;
    {
        const char* const first[] = {argv[0], options.urls.front().c_str()};
        appOptions.commandLine = JoinCommandLine(first);
    }
    CVelkDownloaderApp app(ui, appOptions);
    const StartupOutcome outcome = app.InitInstance();
    if (outcome != StartupOutcome::RunWindow) {
        int code = kExitFailed;
        if (outcome == StartupOutcome::SecondInstance) {
            code = HandOver(app, options);
        }
        app.ExitInstance();
        return code;
    }

    if (options.folder) {
        std::error_code error;
        const std::filesystem::path folder = std::filesystem::absolute(*options.folder, error);
        std::filesystem::create_directories(folder, error);
        if (error || !std::filesystem::is_directory(folder)) {
            PrintError("cannot create folder " + *options.folder);
            app.ExitInstance();
            return kExitFailed;
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
            app.ExitInstance();
            return kExitUsage;
        }
    }

    // Signals are taken synchronously by the loop below; blocked before any thread starts, so
    // every thread inherits the mask and none of them is interrupted.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    MessageQueue queue;
    std::atomic<int> pendingHandOffs{0};
    if (HandOffReceiver* receiver = app.HandOff()) {
        receiver->Start([&pendingHandOffs] { pendingHandOffs.fetch_add(1); });
    }

    const bool hadStoredToken = !ItemLifecycle::ReadStoredCredentials(registry).token.empty();
    ProgramCore::Settings settings;
    settings.registry = registry;
    settings.dataFolder = app.GetDataFolder();
    settings.downloadFolder = [&app] { return app.GetDownloadFolder(); };
    settings.engine.concurrentConnections = static_cast<uint32_t>(app.GetConcurrentConnections());
    ProgramCore core(ProgramCore::Frontend{queue, rows, ui}, settings);
    rows.SetSink(&core.Lifecycle());

    DownloadWatch watch(options.games);
    for (const DownloadWatch::Game& game : watch.Games()) {
        rows.Show(game.name);
    }
    std::optional<ProgramCore::Account> account;
    if (options.email) {
        account = ProgramCore::Account{Utf8ToWide(*options.email), Utf8ToWide(*options.password)};
    }
    int code = 0;
    bool interrupted = false;
    bool signInFailed = false;
    if (!core.Start(account)) {
        const std::u16string url = ApiBaseUrl();
        std::string why;
        if (const auto parsed = ParseApiBase(url);
            const std::u16string* problem = std::get_if<std::u16string>(&parsed)) {
            why = ": " + WideToUtf8(*problem);
        }
        PrintError("the store's API address " + WideToUtf8(url) + " can't be used" + why);
        code = kExitFailed;
    } else {
        watch.HoldBackOthers(core.Lifecycle());
        // The window's own command line comes last in its start; so do ours.
        for (const std::u16string& game : options.games) {
            if (core.Lifecycle().AddItemFromUrl(game) == ItemLifecycle::AddResult::ListFull) {
                rows.Note("The list already holds 100 games: " + WideToUtf8(game) +
                          " is not added");
            }
        }
        watch.Update(core.Lifecycle(), rows, ui);

        auto offlineSince = std::chrono::steady_clock::now();
        bool offlineNoted = false;
        for (;;) {
            const timespec now{0, 0};
            const int signal = sigtimedwait(&stopSignals, nullptr, &now);
            if (signal == SIGINT || signal == SIGTERM) {
                interrupted = true;
                break;
            }
            while (pendingHandOffs.load() > 0 && app.HandOff() != nullptr) {
                pendingHandOffs.fetch_sub(1);
                if (std::optional<std::u16string> added = core.TakeHandOff(*app.HandOff())) {
                    if (watch.Add(*added)) {
                        rows.Show(*added);
                        rows.Note("Added by another start: " + WideToUtf8(*added));
                    }
                }
            }
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
                settled = watch.Update(core.Lifecycle(), rows, ui);
                // A busy queue still lets signals and the display through now and then.
                if (++handled == 256) {
                    break;
                }
                message = queue.TryTake();
            }
            rows.Render();
            if (ui.SignInFailed()) {
                signInFailed = true;
                break;
            }
            if (settled || watch.Update(core.Lifecycle(), rows, ui)) {
                break;
            }
            if (core.Lifecycle().Online()) {
                offlineSince = std::chrono::steady_clock::now();
                offlineNoted = false;
            } else if (!offlineNoted &&
                       std::chrono::steady_clock::now() - offlineSince > kOfflineNotice) {
                rows.Note("Waiting for the store's site to answer: " + WideToUtf8(SiteBaseUrl()));
                offlineNoted = true;
            }
        }
        rows.Render(true);
    }

    // The quit order: downloads manager, loader, connections manager, speed meter.
    core.Quit();
    if (interrupted) {
        rows.Note("Interrupted: stopped. What was downloaded stays and the next run resumes it.");
        code = kExitInterrupted;
    } else if (signInFailed) {
        PrintError(SignInFailure(options, hadStoredToken));
        code = kExitFailed;
    } else if (code == 0) {
        // Reading a game's files may take a while: a stop signal still ends it.
        const auto proceed = [] {
            sigset_t pending;
            sigemptyset(&pending);
            return sigpending(&pending) != 0 ||
                   (sigismember(&pending, SIGINT) != 1 && sigismember(&pending, SIGTERM) != 1);
        };
        code = ReportGames(core, watch, proceed, interrupted) ? 0 : kExitFailed;
        if (interrupted) {
            rows.Note("Interrupted: stopped before every file was checked.");
            code = kExitInterrupted;
        }
    }
    app.Shutdown();
    app.ExitInstance();
    return code;
}
