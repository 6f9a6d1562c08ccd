#include "api/OAuth.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <random>
#include <vector>

#include "core/Base64Coder.h"
#include "core/WideFormat.h"

namespace {

// One engine per thread: no lock on the signing path, and no generator state shared between the
// request and sign-in threads. Seeded with several words from the operating system so that the
// whole state is unpredictable, not just 32 bits of it.
std::mt19937_64& NonceEngine() {
    thread_local std::mt19937_64 engine = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(),
                           device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    return engine;
}

}  // namespace

namespace OAuth {

std::u16string MakeTimestamp() {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    return FormatWide(u"%I64u", static_cast<uint64_t>(std::max<int64_t>(seconds, 0)));
}

std::u16string MakeNonce() {
    // A uniform draw over the alphabet rather than "r mod 62", which would favour the first
    // letters slightly; nothing depends on the sequence, only on its unpredictability.
    std::uniform_int_distribution<size_t> pick(0, kNonceAlphabet.size() - 1);
    std::mt19937_64& engine = NonceEngine();
    std::u16string nonce;
    nonce.reserve(kNonceLength);
    for (size_t i = 0; i < kNonceLength; ++i) {
        nonce.push_back(kNonceAlphabet[pick(engine)]);
    }
    return nonce;
}

std::u16string NormalizeParameters(const ParameterMap& parameters) {
    // Sorted as whole "name=value" strings, not by name: a name followed by a character below
    // "=" sorts before its prefix, as the receiving side computes it.
    std::vector<std::u16string> pairs;
    pairs.reserve(parameters.size());
    for (const auto& [name, value] : parameters) {
        pairs.push_back(name + u"=" + value);
    }
    std::sort(pairs.begin(), pairs.end());
    std::u16string out;
    for (size_t i = 0; i < pairs.size(); ++i) {
        if (i > 0) {
            out.push_back(u'&');
        }
        out += pairs[i];
    }
    return out;
}

std::u16string SignatureBaseString(std::u16string_view method, std::u16string_view normalizedUrl,
                                   std::u16string_view normalizedParameters) {
    std::u16string base(method);
    base.push_back(u'&');
    base += PercentEncode(normalizedUrl);
    base.push_back(u'&');
    base += PercentEncode(normalizedParameters);
    return base;
}

std::u16string SigningKey(std::u16string_view tokenSecret) {
    return PercentEncode(ConsumerSecret) + u"&" + PercentEncode(tokenSecret);
}

std::string HmacSha1(std::string_view key, std::string_view message) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    // HMAC() needs a non-null key pointer even for an empty key.
    static constexpr unsigned char kEmpty = 0;
    const void* keyData = key.empty() ? &kEmpty : static_cast<const void*>(key.data());
    const auto* data = reinterpret_cast<const unsigned char*>(message.data());
    if (HMAC(EVP_sha1(), keyData, static_cast<int>(key.size()), message.empty() ? &kEmpty : data,
             message.size(), digest.data(), &length) == nullptr) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(digest.data()), length);
}

SignedRequest SignRequest(const ParameterMap& parameters, std::u16string_view url,
                          std::u16string_view method, std::u16string_view consumerKey,
                          const OAuthCredentials& credentials) {
    return SignRequest(parameters, url, method, consumerKey, credentials, MakeTimestamp(),
                       MakeNonce());
}

SignedRequest SignRequest(const ParameterMap& parameters, std::u16string_view url,
                          std::u16string_view method, std::u16string_view consumerKey,
                          const OAuthCredentials& credentials, std::u16string_view timestamp,
                          std::u16string_view nonce) {
    SignedRequest signedRequest;
    ParameterMap& oauth = signedRequest.oauth;
    oauth[u"oauth_timestamp"] = timestamp;
    oauth[u"oauth_nonce"] = nonce;
    oauth[u"oauth_version"] = u"1.0";
    oauth[u"oauth_signature_method"] = u"HMAC-SHA1";
    oauth[u"oauth_consumer_key"] = consumerKey;
    if (!credentials.token.empty()) {
        oauth[u"oauth_token"] = credentials.token;
    }
    if (!credentials.verifier.empty()) {
        oauth[u"oauth_verifier"] = credentials.verifier;
    }

    ParameterMap& combined = signedRequest.combined;
    for (const auto& [name, value] : parameters) {
        combined[name] = PercentEncode(value);
    }
    // A request parameter named like a protocol parameter keeps the request's value.
    combined.insert(oauth.begin(), oauth.end());

    // A request parameter called "oauth_signature" would otherwise be signed, then replaced.
    ParameterMap signedParameters = combined;
    signedParameters.erase(u"oauth_signature");
    signedRequest.baseString =
        SignatureBaseString(method, NormalizeUrl(url), NormalizeParameters(signedParameters));

    const std::string digest = HmacSha1(WideToUtf8(SigningKey(credentials.tokenSecret)),
                                        WideToUtf8(signedRequest.baseString));
    std::u16string signature;
    if (!digest.empty()) {
        Base64Coder coder;
        coder.Encode(reinterpret_cast<const uint8_t*>(digest.data()), digest.size());
        signature = PercentEncode(Utf8ToWide(coder.EncodedText()));
    }
    oauth[u"oauth_signature"] = signature;
    combined[u"oauth_signature"] = signature;
    return signedRequest;
}

}  // namespace OAuth
