#pragma once
// The command line most headless tests run: velkdownloader-cli signing in with the test store's
// demo account and downloading one game into a given folder, with the log echoed so that a
// failure shows what the program did. Header-only: VELK_CLI_PROGRAM belongs to the test programs.
#include <filesystem>
#include <string>
#include <vector>

#include "support/CliProcess.h"
#include "support/TestStore.h"

// Signs in with the demo account and downloads `games` (names) into `folder`.
inline std::vector<std::string> DemoDownloadArgs(const std::filesystem::path& folder,
                                                 const std::vector<std::string>& games) {
    std::vector<std::string> args = {"--email",    TestStore::DemoEmail(),
                                     "--password", TestStore::DemoPassword(),
                                     "--folder",   folder.string()};
    for (const std::string& game : games) {
        args.push_back("velkdownloader://" + game);
    }
    return args;
}

// `connections` 0 leaves the setting as it is.
inline CliProcess::Options DemoDownload(const std::filesystem::path& folder,
                                        const std::string& game, int connections,
                                        const std::filesystem::path& logFolder) {
    CliProcess::Options options;
    options.program = VELK_CLI_PROGRAM;
    options.args = {"--email",  TestStore::DemoEmail(), "--password", TestStore::DemoPassword(),
                    "--folder", folder.string()};
    if (connections > 0) {
        options.args.insert(options.args.end(), {"--connections", std::to_string(connections)});
    }
    options.args.insert(options.args.end(), {"--verbose", "velkdownloader://" + game});
    options.logFolder = logFolder;
    return options;
}
