// The hand-off block as the first instance reads it (HandOffBlockText over the 10240 bytes of
// shared memory, which another process writes and may leave without a terminator) and the
// command line it holds turned into a request (InterpretCommandLine), plus the joining of a
// second instance's arguments (JoinCommandLine). Besides no crash and no read past the block:
// the text stops at the block's end or its first zero unit; a game name holds no "/", no double
// quote and no zero unit; "/minimized" never comes with a game name; and a URL given as one
// argument always yields a game name.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "app/CommandLine.h"
#include "core/TextUtil.h"
#include "platform/HandOff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The block is always whole. What the input leaves out holds no zero unit, as if a sender
    // had filled the block and left no terminator.
    std::array<uint8_t, kHandOffBlockSize> block;
    block.fill('A');
    std::memcpy(block.data(), data, std::min(size, block.size()));
    const std::u16string text = HandOffBlockText(block);
    Require(text.size() <= kHandOffBlockSize / 2, "the text stays within the block");
    Require(text.find(u'\0') == std::u16string::npos, "the text stops at its terminator");

    const CommandLineRequest request = InterpretCommandLine(text);
    if (request.gameName) {
        Require(request.gameName->find_first_of(u"/\"") == std::u16string::npos,
                "a game name holds no / and no double quote");
        Require(request.gameName->find(u'\0') == std::u16string::npos,
                "a game name holds no zero unit");
        Require(!request.minimized, "/minimized never comes with a game name");
    }

    // The same bytes as a second instance's arguments, split at zero bytes.
    std::vector<std::string> arguments{"velkdownloader"};
    std::string current;
    for (size_t i = 0; i < std::min<size_t>(size, 4096); ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    arguments.push_back("velkdownloader://" + current);
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    const CommandLineRequest joined = InterpretCommandLine(JoinCommandLine(argv));
    Require(joined.gameName.has_value(), "a URL argument yields a game name");
    Require(!joined.minimized, "/minimized never comes with a game name");
    return 0;
}
