#pragma once
// The program's command line: how argv becomes the one wide string that the first instance reads
// (its own, or a second instance's through the hand-off), and what that string asks for.
// Stateless; any thread.
#include <optional>
#include <span>
#include <string>

struct CommandLineRequest {
    // Present when the line holds a velkdownloader:// URL: what is left once the scheme, every
    // "/" and every double quote are removed (it may be empty, or hold blanks).
    std::optional<std::u16string> gameName;
    // "/minimized" was found in the line after those removals, so never with a URL.
    bool minimized = false;
};

CommandLineRequest InterpretCommandLine(std::u16string commandLine);

// The arguments after the program path (argv[0]), joined by single blanks. An argument that is
// empty or holds a blank, tab or double quote is quoted as a Windows command line would quote
// it, which the interpretation above relies on: "\"velkdownloader://g\" /minimized" must read as
// one line with a quoted URL. Arguments are UTF-8.
std::u16string JoinCommandLine(std::span<const char* const> argv);
