// The sender side of the hand-off, run as a real second process by the hand-off tests:
//   handoff_sender [--wait-ms N] [--] argument...
// The arguments are joined into one command line as the program does with its own. Prints the
// result's name and, on a second line, the error text a second instance would show; the exit
// code is the result's number.
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/CommandLine.h"
#include "core/TextUtil.h"
#include "platform/HandOff.h"

namespace {
const char* ResultName(HandOffSendResult result) {
    switch (result) {
        case HandOffSendResult::Delivered:
            return "Delivered";
        case HandOffSendResult::TimedOut:
            return "TimedOut";
        case HandOffSendResult::NoToken:
            return "NoToken";
        case HandOffSendResult::NoMapping:
            return "NoMapping";
        case HandOffSendResult::NoView:
            return "NoView";
    }
    return "?";
}
}  // namespace

int main(int argc, char** argv) {
    long waitMs = 60000;
    int first = 1;
    while (first < argc) {
        const std::string_view option = argv[first];
        if (option == "--wait-ms" && first + 1 < argc) {
            waitMs = std::strtol(argv[first + 1], nullptr, 10);
            first += 2;
        } else if (option == "--") {
            ++first;
            break;
        } else {
            break;
        }
    }
    // JoinCommandLine skips its first entry, the program path.
    std::vector<const char*> arguments{argv[0]};
    for (int i = first; i < argc; ++i) {
        arguments.push_back(argv[i]);
    }
    const std::u16string commandLine = JoinCommandLine(std::span<const char* const>(arguments));
    const HandOffSendResult result = SendHandOff(commandLine, std::chrono::milliseconds(waitMs));
    std::printf("%s\n%s\n", ResultName(result), WideToUtf8(HandOffErrorText(result)).c_str());
    return static_cast<int>(result);
}
