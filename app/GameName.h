#pragma once
// Which game names the program accepts from a velkdownloader:// address. The name comes from
// whoever started the program (a web page, another local process through the hand-off) and goes
// into the store's request paths and into the settings store's value names, so only what a store
// name looks like passes: 1 to 128 ASCII letters, digits, "-", "_" and ".", not starting with a
// dot. Everything else (path pieces, shell metacharacters, control characters, other scripts,
// over-long text) is refused before anything is done with it. Pure; any thread.
#include <string>
#include <string_view>

inline constexpr size_t kMaxGameNameLength = 128;

bool IsAcceptableGameName(std::u16string_view name);

// The name as a log line or a message may show it: characters outside printable ASCII (control
// characters included) become "?", and a name longer than `shown` characters is cut there and
// followed by "...".
std::u16string PrintableGameName(std::u16string_view name, size_t shown = kMaxGameNameLength);
