#pragma once
// Text from outside (titles, store replies, file names, error excerpts) shown where a control
// character would act instead of being seen: in a log line a line break forges another line, on
// a terminal ESC starts a sequence that moves the cursor, retitles the window or worse. Each such
// character becomes a visible escape:
//   TAB, LF, CR                     \t \n \r
//   other C0 controls, DEL          \x00 .. \x1f, \x7f
//   C1 controls (U+0080..U+009F)    \u0080 .. \u009f
//   U+2028, U+2029 (line breaks)    \u2028 \u2029
//   an unpaired surrogate           \ud800 .. \udfff
//   a byte that is not UTF-8        \x80 .. \xff (the UTF-8 form only)
// Everything else, backslashes included, stays as it is. Stateless; any thread.
#include <cstddef>
#include <string>
#include <string_view>

// `maxUnits` caps the result; an escape or a surrogate pair that would not fit whole is left out
// with everything after it.
std::u16string EscapeControls(std::u16string_view text,
                              size_t maxUnits = std::u16string_view::npos);
// The same over UTF-8 text, giving UTF-8 (what a terminal gets).
std::string EscapeControlsUtf8(std::string_view utf8);
