#pragma once
// What of a signed request or a sign-in reply may go into the log. The log is kept for support
// and may be sent to anyone, so the credentials never appear in it: the values of the signature,
// the token and its secret, the verifier and the password are replaced by "<redacted>" wherever
// they occur as "name=value" (a query string, a form-encoded reply). Everything else stays, so a
// line still tells which request it was. Pure text functions; any thread.
#include <string>
#include <string_view>

inline constexpr std::u16string_view kRedactedValue = u"<redacted>";

// `text` with the value of every secret parameter replaced. A value ends at "&", at white space,
// at a quote or an angle bracket, or at the end of the text.
std::u16string RedactSecrets(std::u16string_view text);
