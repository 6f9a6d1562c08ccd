#pragma once
// The headless front end's exit codes, the same for every command, and its error lines.
#include <string>

inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

// "velkdownloader-cli: TEXT" on standard error. Messages name games, files and the store's own
// words: their control characters are printed as visible escapes, never handed to the terminal.
void PrintError(const std::string& text);
