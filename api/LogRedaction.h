#pragma once
// What of a signed request or a sign-in reply may go into the log. The log is kept for support
// and may be sent to anyone, so the credentials never appear in it: the values of the signature,
// the token and its secret, the verifier and the password are replaced by "<redacted>" wherever
// they occur as "name=value" (a query string, a form-encoded reply, a fragment, a path, a header,
// or a whole address carried percent-encoded inside another one). Everything else stays, so a
// line still tells which request it was. Pure text functions; any thread.
#include <string>
#include <string_view>

inline constexpr std::u16string_view kRedactedValue = u"<redacted>";

// `text` with the value of every secret parameter replaced. A name is matched in any letter case
// and with any of its characters percent-encoded once or twice; it must not be the tail of a
// longer name (a letter, digit, "_", "-" or "." before it), and "=" (also percent-encoded) must
// follow it. A value ends at "&", at white space, at a quote or an angle bracket, or at the end
// of the text; a value that starts with a quote ends at the closing one. Where the "=" was
// encoded, the value's own separators are encoded too, so more than the value may go.
std::u16string RedactSecrets(std::u16string_view text);
