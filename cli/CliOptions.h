#pragma once
// The headless front end's command line:
//   velkdownloader-cli [--email E [--password-stdin | --password P]] [--connections N]
//                      [--limit-rate RATE] [--folder DIR] [--verbose | --json]
//                      velkdownloader://GAME [...]
//   velkdownloader-cli list [--json]
//   velkdownloader-cli remove GAME [--delete-files]
//   velkdownloader-cli --version | --help
// and the ways to the password for an e-mail given alone: the prompt without echo, or a line of
// standard input. Main thread only.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class CliCommand {
    Download,  // the games of the URLs
    List,      // the games of the settings store
    Remove,    // one game of the list, as the window's row menu removes it
};

struct CliOptions {
    CliCommand command = CliCommand::Download;
    bool json = false;  // JSON lines on standard output instead of text (downloads and list)
    std::optional<std::string> email;
    std::optional<std::string> password;  // readable by every local user while we run
    bool passwordStdin = false;           // the password is the first line of standard input
    std::optional<uint32_t> connections;  // 1..20: this run only, the setting stays
    std::optional<uint64_t> limitRate;    // bytes per second (0: none): this run only
    std::optional<std::string> folder;    // this run's downloads folder, the setting stays
    bool verbose = false;
    std::vector<std::string> urls;      // as given, in order
    std::vector<std::u16string> games;  // the game name of each URL, same order
    std::u16string removeGame;          // remove: the game's name
    bool deleteFiles = false;           // remove: the game's own files go too
};

struct CliParse {
    std::optional<CliOptions> options;  // nothing: a usage error, explained in `error`
    std::string error;
    bool help = false;
    bool version = false;
};

CliParse ParseCliOptions(int argc, const char* const* argv);
// A speed limit as --limit-rate takes it: bytes per second, or kilobytes (K) or megabytes (M)
// of 1024 and 1024 * 1024 bytes; 0 for none. Nothing for anything else.
std::optional<uint64_t> ParseRate(const std::string& text);
const char* CliUsage();

// Asks for the password on the terminal without echo (standard input as a plain line when it is
// not a terminal). Nothing when no line could be read.
std::optional<std::string> AskPassword(const std::string& email);

// The first line of standard input without its line break, read for --password-stdin. Nothing
// when there is no line or it is empty.
std::optional<std::string> ReadPasswordLine();
