#pragma once
// The program's place in the desktop session, kept in XDG desktop entries:
//   - the handler of velkdownloader:// URLs: $XDG_DATA_HOME/applications/velkdownloader.desktop,
//     made the default handler in $XDG_CONFIG_HOME/mimeapps.list;
//   - starting with the session: $XDG_CONFIG_HOME/autostart/VelkDownloader.desktop, present
//     exactly while it is on.
// Files are replaced atomically (temporary file + rename), so a crash never leaves half a file.
// Called on the start-up and user-interface thread; holds no state.
#include <filesystem>
#include <string>
#include <string_view>

// Writes the URL handler entry and makes it the default handler, keeping every other line and
// section of an existing mimeapps.list. False when a file could not be written.
bool RegisterUrlScheme(const std::filesystem::path& program);

// Creates (on) or removes (off) the autostart entry, which starts the program with /minimized.
bool SetRunAtStartup(bool on, const std::filesystem::path& program);
bool IsRunAtStartup();

// The running program's full path (/proc/self/exe); empty if it can't be read.
std::filesystem::path CurrentProgramPath();

// One argument of an Exec key, quoted by the desktop entry rules when it needs quoting (or
// always, when asked) and escaped as the value of a string key. "%" becomes "%%".
std::string QuoteExecArgument(std::string_view argument, bool alwaysQuote = false);

// Paths of the files, for the curious and for tests.
std::filesystem::path UrlHandlerEntryPath();
std::filesystem::path MimeAppsListPath();
std::filesystem::path AutostartEntryPath();
