#include "cli/CliOptions.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>

#include "app/CommandLine.h"
#include "app/GameName.h"
#include "app/ItemLifecycle.h"
#include "core/TextUtil.h"

namespace {

constexpr std::string_view kScheme = "velkdownloader://";

std::optional<uint32_t> ParseConnections(const std::string& text) {
    if (text.empty() || text.size() > 2) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value < 1 || value > 20) {
        return std::nullopt;
    }
    return value;
}

CliParse Fail(std::string error) {
    CliParse parse;
    parse.error = std::move(error);
    return parse;
}

}  // namespace

std::optional<uint64_t> ParseRate(const std::string& text) {
    std::string digits = text;
    uint64_t unit = 1;
    if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'k')) {
        unit = 1024;
        digits.pop_back();
    } else if (!digits.empty() && (digits.back() == 'M' || digits.back() == 'm')) {
        unit = 1024 * 1024;
        digits.pop_back();
    }
    // Up to 12 digits: a terabyte a second and more is no limit anyone means.
    if (digits.empty() || digits.size() > 12) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value * unit;
}

const char* CliUsage() {
    return "usage: velkdownloader-cli [--email E [--password-stdin]] [--connections N] "
           "[--limit-rate RATE] [--folder DIR]\n"
           "                          [--verbose | --json] velkdownloader://GAME "
           "[velkdownloader://GAME ...]\n"
           "       velkdownloader-cli list [--json]\n"
           "       velkdownloader-cli remove GAME [--delete-files]\n"
           "       velkdownloader-cli --version | --help\n"
           "Downloads the games, one at a time in list order, and checks every file:\n"
           "  --email E         sign in as E; the password is asked for on the terminal, "
           "without echo.\n"
           "                    Without --email the sign-in stored by an earlier run is used.\n"
           "  --password-stdin  with --email, for scripts: the password is the first line of "
           "standard\n"
           "                    input (velkdownloader-cli --email E --password-stdin ... "
           "< file)\n"
           "  --password P      with --email: the password itself. Avoid it: every user of this "
           "machine\n"
           "                    can read a command line (ps, /proc) while the program runs\n"
           "  --connections N   1 to 20 download connections for this run\n"
           "  --limit-rate RATE at most RATE bytes per second for all connections together in "
           "this run;\n"
           "                    K and M for 1024 and 1048576 bytes (512K, 2M); 0 for no "
           "limit\n"
           "  --folder DIR      download new games into DIR for this run\n"
           "  --verbose         echo the program's log on standard output\n"
           "  --json            standard output carries only JSON lines: a \"progress\" line at "
           "every\n"
           "                    change of a game, a \"result\" line per game at the end\n"
           "Commands:\n"
           "  list              the games of the list, one a line: name, title, state, bytes "
           "done of all,\n"
           "                    folder\n"
           "    --json          one JSON object a line instead\n"
           "  remove GAME       removes the game (its name as listed, or velkdownloader://GAME) "
           "from the\n"
           "                    list as the window's row menu does; not while VelkDownloader "
           "runs\n"
           "    --delete-files  the game's own downloaded files and chunk files go too, nothing "
           "else\n"
           "Exit codes: 0 done, 1 failed, 2 usage error, 130 interrupted.\n";
}

namespace {

CliParse ParseDownload(int argc, const char* const* argv) {
    CliOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) {
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--password-stdin") {
            options.passwordStdin = true;
        } else if (arg == "--email" || arg == "--password" || arg == "--connections" ||
                   arg == "--folder" || arg == "--limit-rate") {
            const std::optional<std::string> given = value();
            if (!given) {
                return Fail(arg + " needs a value");
            }
            if (arg == "--email") {
                if (given->empty()) {
                    return Fail("--email needs a value");
                }
                options.email = *given;
            } else if (arg == "--password") {
                options.password = *given;
            } else if (arg == "--folder") {
                if (given->empty()) {
                    return Fail("--folder needs a value");
                }
                options.folder = *given;
            } else if (arg == "--limit-rate") {
                options.limitRate = ParseRate(*given);
                if (!options.limitRate) {
                    return Fail("--limit-rate takes bytes per second, or a number with K or M");
                }
            } else {
                options.connections = ParseConnections(*given);
                if (!options.connections) {
                    return Fail("--connections takes a number from 1 to 20");
                }
            }
        } else if (arg.rfind("--", 0) == 0) {
            return Fail("unknown option " + arg);
        } else if (arg.find(kScheme) != std::string::npos) {
            // One URL at a time, read exactly as the window reads its command line.
            const CommandLineRequest request = InterpretCommandLine(Utf8ToWide(arg));
            if (!request.gameName || request.gameName->empty()) {
                return Fail("no game in " + arg);
            }
            if (!IsAcceptableGameName(*request.gameName)) {
                return Fail("not a game name of the store: " + arg);
            }
            options.urls.push_back(arg);
            options.games.push_back(*request.gameName);
        } else {
            return Fail("not a velkdownloader:// URL: " + arg);
        }
    }
    if (options.json && options.verbose) {
        // The echoed log would mix with the JSON lines on standard output.
        return Fail("--json and --verbose can't be used together");
    }
    if (options.password && options.passwordStdin) {
        return Fail("--password and --password-stdin can't be used together");
    }
    if (options.password && !options.email) {
        return Fail("--password needs --email");
    }
    if (options.passwordStdin && !options.email) {
        return Fail("--password-stdin needs --email");
    }
    if (options.games.empty()) {
        return Fail("no game given");
    }
    if (options.games.size() > ItemLifecycle::kMaxItems) {
        return Fail("at most 100 games at a time");
    }
    CliParse parse;
    parse.options = std::move(options);
    return parse;
}

CliParse ParseList(int argc, const char* const* argv) {
    CliOptions options;
    options.command = CliCommand::List;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg != "--json") {
            return Fail("list takes only --json, not " + arg);
        }
        options.json = true;
    }
    CliParse parse;
    parse.options = std::move(options);
    return parse;
}

CliParse ParseRemove(int argc, const char* const* argv) {
    CliOptions options;
    options.command = CliCommand::Remove;
    std::optional<std::string> game;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--delete-files") {
            options.deleteFiles = true;
        } else if (arg.rfind("--", 0) == 0) {
            return Fail("remove takes only GAME and --delete-files, not " + arg);
        } else if (game) {
            return Fail("remove takes one game at a time");
        } else {
            game = arg;
        }
    }
    if (!game || game->empty()) {
        return Fail("remove needs the game's name");
    }
    options.removeGame = Utf8ToWide(*game);
    if (game->find(kScheme) != std::string::npos) {
        // An address as the store's site gives it, read as the window reads its command line.
        const CommandLineRequest request = InterpretCommandLine(options.removeGame);
        if (!request.gameName || request.gameName->empty()) {
            return Fail("no game in " + *game);
        }
        options.removeGame = *request.gameName;
    }
    CliParse parse;
    parse.options = std::move(options);
    return parse;
}

}  // namespace

CliParse ParseCliOptions(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h" || arg == "--version") {
            CliParse parse;
            parse.help = arg != "--version";
            parse.version = !parse.help;
            return parse;
        }
    }
    const std::string_view command = argc > 1 ? argv[1] : "";
    if (command == "list") {
        return ParseList(argc, argv);
    }
    if (command == "remove") {
        return ParseRemove(argc, argv);
    }
    return ParseDownload(argc, argv);
}

std::optional<std::string> AskPassword(const std::string& email) {
    const bool terminal = isatty(STDIN_FILENO) != 0;
    termios saved{};
    bool restored = true;
    if (terminal) {
        std::fprintf(stderr, "Password for %s: ", email.c_str());
        std::fflush(stderr);
        if (tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            quiet.c_lflag |= ECHONL;
            restored = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0;
        }
    }
    std::string line;
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    if (terminal && !restored) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    }
    if (!read) {
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

std::optional<std::string> ReadPasswordLine() {
    std::string line;
    if (!std::getline(std::cin, line)) {
        return std::nullopt;
    }
    // A file written on another system may end its lines with CR LF.
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line.empty()) {
        return std::nullopt;
    }
    return line;
}
