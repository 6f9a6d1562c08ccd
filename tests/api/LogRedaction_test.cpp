// What the log may show of a signed request or a sign-in reply.
#include <gtest/gtest.h>

#include "api/LogRedaction.h"

namespace {

TEST(LogRedactionTest, SecretValuesAreReplacedAndEverythingElseStays) {
    const std::vector<std::pair<std::u16string, std::u16string>> cases = {
        {u"en/downloader/userDetails/?oauth_consumer_key=ck&oauth_nonce=n&oauth_signature=s%2B%3D"
         u"&oauth_signature_method=HMAC-SHA1&oauth_token=tok&oauth_version=1.0",
         u"en/downloader/userDetails/?oauth_consumer_key=ck&oauth_nonce=n&oauth_signature="
         u"<redacted>&oauth_signature_method=HMAC-SHA1&oauth_token=<redacted>&oauth_version=1.0"},
        // A form-encoded reply of the token step.
        {u"oauth_token=T1&oauth_token_secret=S1",
         u"oauth_token=<redacted>&oauth_token_secret=<redacted>"},
        {u"en/oauth/login/?password=p%26ss&username=me%40x",
         u"en/oauth/login/?password=<redacted>&username=me%40x"},
        {u"x?oauth_verifier=v", u"x?oauth_verifier=<redacted>"},
        // Names are matched whole and in any letter case; look-alikes stay.
        {u"a?OAUTH_TOKEN=t&my_password=p&passwords=q",
         u"a?OAUTH_TOKEN=<redacted>&my_password=p&passwords=q"},
        // An empty value has nothing to hide; a value ends at a quote or a tag.
        {u"a?oauth_token=&b=1", u"a?oauth_token=&b=1"},
        {u"<r>oauth_token=abc</r>", u"<r>oauth_token=abc</r>"},
        {u"\"oauth_token=abc\" and more", u"\"oauth_token=<redacted>\" and more"},
        // Cut by the excerpt's limit: what is left of the value still goes.
        {u"oauth_token_secret=abcd", u"oauth_token_secret=<redacted>"},
        {u"oauth_tok", u"oauth_tok"},
        {u"", u""},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(RedactSecrets(in), out) << std::string(in.begin(), in.end());
    }
}

}  // namespace
