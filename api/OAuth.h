#pragma once
// OAuth 1.0 request signing with HMAC-SHA1, all protocol parameters carried in the query string.
// Pure functions over their arguments: no state is shared between calls except each thread's own
// random engine for the nonce, so the request and sign-in threads may sign at the same time.
// The caller hands over one consistent copy of the credentials (OAuthCredentials), taken under
// its own lock; the signer never reads the owner's fields.
#include <string>
#include <string_view>

#include "core/TextUtil.h"

// The user's side of the signing key and the extra protocol values. Copied as one unit so that a
// token can never be signed with the secret of another.
struct OAuthCredentials {
    std::u16string token;        // empty while the user holds none
    std::u16string tokenSecret;  // may be empty
    std::u16string verifier;     // empty unless a password sign-in happened in this run
};

// What signing a request yields.
struct SignedRequest {
    // The protocol parameters, "oauth_signature" included, values as sent (only the signature is
    // percent-encoded).
    ParameterMap oauth;
    // The request's parameters with percent-encoded values plus the protocol parameters: the
    // query string to send.
    ParameterMap combined;
    // The text that was signed; kept for diagnostics and tests.
    std::u16string baseString;
};

namespace OAuth {

inline constexpr std::u16string_view ConsumerKey = u"7c0e59a2b4d81f36e9a05c7d2b8e41f60a3d9c57";
inline constexpr std::u16string_view ConsumerSecret = u"b52e8d07f1c94a63e08d5b2c7f19a4e6d30c8b71";

inline constexpr size_t kNonceLength = 17;
inline constexpr std::u16string_view kNonceAlphabet =
    u"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// Signs with a fresh timestamp and nonce. `parameters` hold raw (not encoded) values; `url` is
// the full request URL; `method` is the HTTP method ("GET").
SignedRequest SignRequest(const ParameterMap& parameters, std::u16string_view url,
                          std::u16string_view method, std::u16string_view consumerKey,
                          const OAuthCredentials& credentials);
// The same with a given timestamp and nonce, so that a signature can be checked against one
// computed elsewhere.
SignedRequest SignRequest(const ParameterMap& parameters, std::u16string_view url,
                          std::u16string_view method, std::u16string_view consumerKey,
                          const OAuthCredentials& credentials, std::u16string_view timestamp,
                          std::u16string_view nonce);

// Seconds since 1970-01-01 00:00:00 UTC in decimal, no sign, no leading zeros.
std::u16string MakeTimestamp();
// kNonceLength characters from kNonceAlphabet. Drawn from a per-thread engine seeded from the
// operating system's random source (std::random_device), so two threads never share generator
// state and two processes started in the same second don't repeat each other's nonces.
std::u16string MakeNonce();
// "name=value" for every entry, sorted as whole strings by UTF-16 code units, joined by "&".
std::u16string NormalizeParameters(const ParameterMap& parameters);
// method "&" PercentEncode(url) "&" PercentEncode(parameters).
std::u16string SignatureBaseString(std::u16string_view method, std::u16string_view normalizedUrl,
                                   std::u16string_view normalizedParameters);
// PercentEncode(ConsumerSecret) "&" PercentEncode(tokenSecret).
std::u16string SigningKey(std::u16string_view tokenSecret);
// RFC 2104 HMAC-SHA1 over bytes: the 20-byte digest, or empty when the computation fails.
std::string HmacSha1(std::string_view key, std::string_view message);

}  // namespace OAuth
