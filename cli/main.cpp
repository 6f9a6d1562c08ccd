// velkdownloader-cli: the headless front end. Today it runs the start-up (settings, folders, URL
// handler, single instance) and, as the first instance, takes the games that later starts hand to
// it; downloading arrives with the engine.
//
//   velkdownloader-cli [--serve-seconds N] [velkdownloader://GAME] [/minimized]
//
// A second start hands its command line to the running instance and ends.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/CVelkDownloaderApp.h"
#include "app/CommandLine.h"
#include "core/DebugPrintf.h"
#include "core/TextUtil.h"

namespace {

class TerminalUi final : public StartupUi {
public:
    void ShowError(const std::u16string& text) override {
        std::fprintf(stderr, "velkdownloader-cli: %s\n", WideToUtf8(text).c_str());
    }
};

void Print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void ReportRequest(const std::u16string& commandLine, const char* source) {
    const CommandLineRequest request = InterpretCommandLine(commandLine);
    if (request.gameName) {
        Print(std::string(source) + ": download requested for game \"" +
              WideToUtf8(*request.gameName) + "\"");
    } else {
        Print(std::string(source) + ": no game in \"" + WideToUtf8(commandLine) + "\"");
    }
    if (request.minimized) {
        Print(std::string(source) + ": start minimized");
    }
}

int Usage() {
    std::fprintf(stderr,
                 "usage: velkdownloader-cli [--serve-seconds N] [velkdownloader://GAME] "
                 "[/minimized]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Logger();  // opened before start-up, as the program's first object

    double serveSeconds = 0;  // 0: until interrupted
    std::vector<const char*> passed = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--serve-seconds") == 0 && i + 1 < argc) {
            char* end = nullptr;
            serveSeconds = std::strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || serveSeconds < 0) {
                return Usage();
            }
        } else if (std::strncmp(argv[i], "--", 2) == 0) {
            return Usage();
        } else {
            passed.push_back(argv[i]);
        }
    }

    // Signals are taken synchronously by the main loop; block them before any thread starts so
    // every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    TerminalUi ui;
    CVelkDownloaderApp::Options options;
    options.commandLine = JoinCommandLine(passed);
    CVelkDownloaderApp app(ui, options);
    const StartupOutcome outcome = app.InitInstance();
    if (outcome != StartupOutcome::RunWindow) {
        if (outcome == StartupOutcome::SecondInstance) {
            Print(app.LastHandOffResult() == HandOffSendResult::Delivered
                      ? "handed over to the running instance"
                      : "the running instance did not answer; nothing was handed over");
        }
        app.ExitInstance();
        return outcome == StartupOutcome::Failed ? 1 : 0;
    }

    Print("downloads folder: " + WideToUtf8(app.GetDownloadFolder()));
    Print("data folder: " + WideToUtf8(app.GetDataFolder()));
    Print("concurrent connections: " + std::to_string(app.GetConcurrentConnections()));
    ReportRequest(app.CommandLine(), "command line");

    std::atomic<int> pendingHandOffs{0};
    if (HandOffReceiver* receiver = app.HandOff()) {
        receiver->Start([&pendingHandOffs] { pendingHandOffs.fetch_add(1); });
    }

    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        while (pendingHandOffs.load() > 0) {
            pendingHandOffs.fetch_sub(1);
            ReportRequest(app.HandOff()->ReadBlock(), "hand-off");
            app.HandOff()->ReturnToken();
        }
        const timespec tick{0, 50 * 1000 * 1000};
        const int signal = sigtimedwait(&stopSignals, nullptr, &tick);
        if (signal == SIGINT || signal == SIGTERM) {
            break;
        }
        const std::chrono::duration<double> served = std::chrono::steady_clock::now() - start;
        if (serveSeconds > 0 && served.count() >= serveSeconds) {
            break;
        }
    }
    app.Shutdown();
    return app.ExitInstance();
}
