#pragma once
// The headless front end's command line:
//   velkdownloader-cli [--email E [--password P]] [--connections N] [--folder DIR] [--verbose]
//                      velkdownloader://GAME [velkdownloader://GAME ...]
// and the password prompt for an e-mail given alone. Main thread only.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct CliOptions {
    std::optional<std::string> email;
    std::optional<std::string> password;
    std::optional<uint32_t> connections;  // 1..20: this run only, the setting stays
    std::optional<std::string> folder;    // this run's downloads folder, the setting stays
    bool verbose = false;
    std::vector<std::string> urls;      // as given, in order
    std::vector<std::u16string> games;  // the game name of each URL, same order
};

struct CliParse {
    std::optional<CliOptions> options;  // nothing: a usage error, explained in `error`
    std::string error;
    bool help = false;
};

CliParse ParseCliOptions(int argc, const char* const* argv);
const char* CliUsage();

// Asks for the password on the terminal without echo (standard input as a plain line when it is
// not a terminal). Nothing when no line could be read.
std::optional<std::string> AskPassword(const std::string& email);
