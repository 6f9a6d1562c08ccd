#pragma once
// The API server to talk to: the test server while bit 1 of the "Debug" flags is set, the
// production server otherwise. Decided at every call; any thread.
#include <string>
#include <string_view>
#include <variant>

std::u16string ApiBaseUrl();

// What requests are sent to and signed over: "https://host[:port]" and the path every API path
// is appended to, ending in exactly one "/" ("/" for an address that is only scheme and host,
// "/api/v2/" for "https://host/api/v2").
struct ApiBase {
    std::string origin;
    std::u16string basePath;
};

// The API base address taken apart, or why it can't serve (a sentence for the log and the
// terminal). A base path is kept only when each of its segments is plain (letters, digits, "-",
// ".", "_", "~"; no "." or ".."), so the path the server receives is exactly the one signed; an
// address that is not https, or has a query, a fragment, a user name or a password, is refused
// rather than having parts silently dropped.
std::variant<ApiBase, std::u16string> ParseApiBase(std::u16string_view url);
