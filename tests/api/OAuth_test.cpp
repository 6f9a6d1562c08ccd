#include "api/OAuth.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "core/TextUtil.h"

namespace {

std::string Hex(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out.push_back(kDigits[byte >> 4]);
        out.push_back(kDigits[byte & 0x0F]);
    }
    return out;
}

std::string Repeat(unsigned char byte, size_t count) {
    return std::string(count, static_cast<char>(byte));
}

// The second of the three "&"-separated parts of a base string: the encoded, normalised URL.
std::u16string BaseStringUrl(const std::u16string& baseString) {
    const size_t first = baseString.find(u'&');
    const size_t second = baseString.find(u'&', first + 1);
    return baseString.substr(first + 1, second - first - 1);
}

size_t Count(const std::u16string& text, const std::u16string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::u16string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

TEST(OAuthTest, HmacSha1MatchesRfc2202Vectors) {
    struct Case {
        std::string key;
        std::string data;
        const char* digest;
    };
    std::string key4;
    for (unsigned char b = 1; b <= 25; ++b) {
        key4.push_back(static_cast<char>(b));
    }
    const Case cases[] = {
        {Repeat(0x0b, 20), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {Repeat(0xaa, 20), Repeat(0xdd, 50), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {key4, Repeat(0xcd, 50), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {Repeat(0x0c, 20), "Test With Truncation", "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {Repeat(0xaa, 80), "Test Using Larger Than Block-Size Key - Hash Key First",
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {Repeat(0xaa, 80),
         "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(Hex(OAuth::HmacSha1(cases[i].key, cases[i].data)), cases[i].digest)
            << "RFC 2202 test case " << i + 1;
    }
    // An empty key and message are valid input, not a failure.
    EXPECT_EQ(Hex(OAuth::HmacSha1("", "")), "fbdb1d1b18aa6c08324b7d64b71fb76370690e1d");
}

// Reference values were computed once with Debian's python3-oauthlib 3.2.2 (an implementation
// independent of ours), oauth1.Client(consumer key, client_secret=consumer secret,
// resource_owner_key="tok123", resource_owner_secret="s3cr3t", verifier="ver1",
// signature_type=SIGNATURE_TYPE_QUERY, timestamp="1700000000", nonce="abcDEF1234567890x")
// .sign(uri, "GET") on uri = "https://api.example.com:8443/en/oauth/login/?username=user%20name
// %40example.com&password=p%2Bss%2Fw%3Drd%26%C3%BC%E2%82%AC"; the base string with
// rfc5849.signature.signature_base_string over the signed URI's parameters.
TEST(OAuthTest, SignatureMatchesAnIndependentImplementation) {
    const ParameterMap parameters = {
        {u"username", u"user name@example.com"},
        {u"password", u"p+ss/w=rd&\u00fc\u20ac"},
    };
    const OAuthCredentials credentials{u"tok123", u"s3cr3t", u"ver1"};
    const SignedRequest signedRequest =
        OAuth::SignRequest(parameters, u"https://api.example.com:8443/en/oauth/login/", u"GET",
                           OAuth::ConsumerKey, credentials, u"1700000000", u"abcDEF1234567890x");

    EXPECT_EQ(signedRequest.baseString,
              u"GET&https%3A%2F%2Fapi.example.com%3A8443%2Fen%2Foauth%2Flogin%2F&"
              u"oauth_consumer_key%3D7c0e59a2b4d81f36e9a05c7d2b8e41f60a3d9c57%26"
              u"oauth_nonce%3DabcDEF1234567890x%26oauth_signature_method%3DHMAC-SHA1%26"
              u"oauth_timestamp%3D1700000000%26oauth_token%3Dtok123%26oauth_verifier%3Dver1%26"
              u"oauth_version%3D1.0%26"
              u"password%3Dp%252Bss%252Fw%253Drd%2526%25C3%25BC%25E2%2582%25AC%26"
              u"username%3Duser%2520name%2540example.com");
    EXPECT_EQ(signedRequest.oauth.at(u"oauth_signature"), u"kVyISGwF%2FWm0oFuqAIJqW2z7dFc%3D");
    EXPECT_EQ(signedRequest.combined.at(u"oauth_signature"), u"kVyISGwF%2FWm0oFuqAIJqW2z7dFc%3D");

    // The request values travel percent-encoded (UTF-8, upper-case hex), the OAuth values raw.
    EXPECT_EQ(signedRequest.combined.at(u"password"), u"p%2Bss%2Fw%3Drd%26%C3%BC%E2%82%AC");
    EXPECT_EQ(signedRequest.combined.at(u"username"), u"user%20name%40example.com");
    EXPECT_EQ(signedRequest.combined.at(u"oauth_token"), u"tok123");
    EXPECT_EQ(signedRequest.combined.at(u"oauth_verifier"), u"ver1");
    EXPECT_EQ(signedRequest.combined.size(), 10u);
    EXPECT_EQ(signedRequest.oauth.size(), 8u);
}

// oauthlib as above with no token, secret or verifier, timestamp "1234567890", nonce
// "NONCEnonce0123456", uri "https://api.example.com/en/oauth/initialize/".
TEST(OAuthTest, WithoutTokenOrVerifierSixProtocolParametersAndKeyEndingInAmpersand) {
    const SignedRequest signedRequest =
        OAuth::SignRequest({}, u"https://api.example.com/en/oauth/initialize/", u"GET",
                           OAuth::ConsumerKey, {}, u"1234567890", u"NONCEnonce0123456");
    const ParameterMap expected = {
        {u"oauth_consumer_key", u"7c0e59a2b4d81f36e9a05c7d2b8e41f60a3d9c57"},
        {u"oauth_nonce", u"NONCEnonce0123456"},
        {u"oauth_signature", u"LNccBe1H4HOhtGWMmwQtzPOMfN0%3D"},
        {u"oauth_signature_method", u"HMAC-SHA1"},
        {u"oauth_timestamp", u"1234567890"},
        {u"oauth_version", u"1.0"},
    };
    EXPECT_EQ(signedRequest.oauth, expected);
    EXPECT_EQ(signedRequest.combined, expected);
    EXPECT_EQ(OAuth::SigningKey(u""), u"b52e8d07f1c94a63e08d5b2c7f19a4e6d30c8b71&");
}

TEST(OAuthTest, VerifierIsSignedAndSentOnlyWhenSet) {
    const auto sign = [](const std::u16string& verifier) {
        return OAuth::SignRequest({}, u"https://h/p", u"GET", OAuth::ConsumerKey,
                                  {u"tok", u"sec", verifier}, u"1", u"n");
    };
    const SignedRequest with = sign(u"v3r");
    EXPECT_EQ(with.oauth.at(u"oauth_verifier"), u"v3r");
    EXPECT_EQ(with.combined.at(u"oauth_verifier"), u"v3r");
    EXPECT_NE(with.baseString.find(u"oauth_verifier%3Dv3r"), std::u16string::npos);

    const SignedRequest without = sign(u"");
    EXPECT_FALSE(without.oauth.contains(u"oauth_verifier"));
    EXPECT_FALSE(without.combined.contains(u"oauth_verifier"));
    EXPECT_EQ(without.baseString.find(u"oauth_verifier"), std::u16string::npos);
    EXPECT_EQ(without.oauth.at(u"oauth_token"), u"tok");
    EXPECT_NE(with.oauth.at(u"oauth_signature"), without.oauth.at(u"oauth_signature"));
}

TEST(OAuthTest, NonceIsSeventeenAlphabetCharactersAndUniqueAcrossThreads) {
    std::set<std::u16string> seen;
    for (int i = 0; i < 2000; ++i) {
        const std::u16string nonce = OAuth::MakeNonce();
        ASSERT_EQ(nonce.size(), 17u);
        for (char16_t c : nonce) {
            ASSERT_NE(OAuth::kNonceAlphabet.find(c), std::u16string_view::npos) << nonce.size();
        }
        seen.insert(nonce);
    }
    EXPECT_EQ(seen.size(), 2000u);

    // Engines of different threads are seeded apart: their first nonces differ.
    std::u16string a, b;
    std::thread first([&a] { a = OAuth::MakeNonce(); });
    std::thread second([&b] { b = OAuth::MakeNonce(); });
    first.join();
    second.join();
    EXPECT_NE(a, b);
    EXPECT_FALSE(seen.contains(a));
}

TEST(OAuthTest, TimestampIsCurrentUnixSecondsInPlainDecimal) {
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    const std::u16string stamp = OAuth::MakeTimestamp();
    ASSERT_FALSE(stamp.empty());
    EXPECT_NE(stamp[0], u'0');
    int64_t value = 0;
    for (char16_t c : stamp) {
        ASSERT_TRUE(c >= u'0' && c <= u'9');
        value = value * 10 + (c - u'0');
    }
    EXPECT_LE(std::abs(value - now), 2);
}

TEST(OAuthTest, BlankInValueIsEncodedTwiceInBaseString) {
    const SignedRequest signedRequest = OAuth::SignRequest(
        {{u"password", u"a b"}}, u"https://h/p", u"GET", OAuth::ConsumerKey, {}, u"1", u"n");
    EXPECT_EQ(signedRequest.combined.at(u"password"), u"a%20b");
    EXPECT_NE(signedRequest.baseString.find(u"password%3Da%2520b"), std::u16string::npos);
}

TEST(OAuthTest, UrlIsNormalisedBeforeSigning) {
    struct Case {
        const char16_t* url;
        const char16_t* encoded;
    };
    const Case cases[] = {
        {u"https://Api.Example.com:443/en/x/", u"https%3A%2F%2FApi.Example.com%2Fen%2Fx%2F"},
        {u"http://h:80/p", u"http%3A%2F%2Fh%2Fp"},
        {u"https://h:8443/p", u"https%3A%2F%2Fh%3A8443%2Fp"},
        {u"http://h:443/p", u"http%3A%2F%2Fh%3A443%2Fp"},
        {u"https://h/p?x=1&y=2", u"https%3A%2F%2Fh%2Fp"},
        {u"https://h/p#frag", u"https%3A%2F%2Fh%2Fp"},
    };
    for (const Case& c : cases) {
        const SignedRequest signedRequest =
            OAuth::SignRequest({}, c.url, u"GET", OAuth::ConsumerKey, {}, u"1", u"n");
        EXPECT_EQ(BaseStringUrl(signedRequest.baseString), c.encoded);
    }
    // A query written into the URL itself is neither signed nor sent.
    const SignedRequest plain =
        OAuth::SignRequest({}, u"https://h/p", u"GET", OAuth::ConsumerKey, {}, u"1", u"n");
    const SignedRequest withQuery =
        OAuth::SignRequest({}, u"https://h/p?x=1", u"GET", OAuth::ConsumerKey, {}, u"1", u"n");
    EXPECT_EQ(plain.combined, withQuery.combined);
}

TEST(OAuthTest, RequestParameterNamedLikeProtocolParameterKeepsRequestValue) {
    const SignedRequest signedRequest =
        OAuth::SignRequest({{u"oauth_version", u"2.0"}, {u"oauth_signature", u"forged"}},
                           u"https://h/p", u"GET", OAuth::ConsumerKey, {}, u"1", u"n");
    EXPECT_EQ(signedRequest.combined.at(u"oauth_version"), u"2.0");
    EXPECT_EQ(signedRequest.oauth.at(u"oauth_version"), u"1.0");
    EXPECT_EQ(Count(signedRequest.baseString, u"oauth_version%3D"), 1u);
    EXPECT_NE(signedRequest.baseString.find(u"oauth_version%3D2.0"), std::u16string::npos);
    // The signature is never signed, and it replaces a request value of that name.
    EXPECT_EQ(signedRequest.baseString.find(u"oauth_signature%3D"), std::u16string::npos);
    EXPECT_EQ(signedRequest.combined.at(u"oauth_signature"),
              signedRequest.oauth.at(u"oauth_signature"));
    EXPECT_NE(signedRequest.combined.at(u"oauth_signature"), u"forged");
}

TEST(OAuthTest, ParametersSortAsWholeStrings) {
    // "-" sorts below "=", so "a-b=..." precedes "a=...", unlike an order by name.
    EXPECT_EQ(OAuth::NormalizeParameters({{u"a", u"1"}, {u"a-b", u"2"}, {u"B", u"3"}}),
              u"B=3&a-b=2&a=1");
    EXPECT_EQ(OAuth::NormalizeParameters({}), u"");
}

TEST(OAuthTest, SignatureNeverHoldsRawBase64Punctuation) {
    size_t encodedPunctuation = 0;
    for (int i = 0; i < 300; ++i) {
        const std::u16string signature =
            OAuth::SignRequest({}, u"https://h/p", u"GET", OAuth::ConsumerKey, {u"t", u"s", u""})
                .oauth.at(u"oauth_signature");
        ASSERT_EQ(signature.find_first_of(u"+/="), std::u16string::npos) << i;
        // 20 bytes give 28 Base64 characters ending in one "=", always sent as "%3D".
        ASSERT_EQ(signature.substr(signature.size() - 3), u"%3D");
        encodedPunctuation += Count(signature, u"%2B") + Count(signature, u"%2F");
    }
    // Over 300 random signatures "+" and "/" do turn up, so the encoding above was exercised.
    EXPECT_GT(encodedPunctuation, 0u);
}
