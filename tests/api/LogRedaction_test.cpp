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
        {u"<r>oauth_token=abc</r>", u"<r>oauth_token=<redacted></r>"},
        {u"\"oauth_token=abc\" and more", u"\"oauth_token=<redacted>\" and more"},
        // Cut by the excerpt's limit: what is left of the value still goes.
        {u"oauth_token_secret=abcd", u"oauth_token_secret=<redacted>"},
        {u"oauth_tok", u"oauth_tok"},
        {u"", u""},
        // Names percent-encoded, once or twice (an address inside another one), and "=" too.
        {u"a?oauth%5Ftoken=t&%6F%61uth_verifier=v",
         u"a?oauth%5Ftoken=<redacted>&%6F%61uth_verifier=<redacted>"},
        {u"a?OAUTH%5fTOKEN=t", u"a?OAUTH%5fTOKEN=<redacted>"},
        {u"a?pass%2577ord=p&b=1", u"a?pass%2577ord=<redacted>&b=1"},
        {u"a?password%3Dp", u"a?password%3D<redacted>"},
        {u"'oAu%2554%68_tOkEn%253Dt", u"'oAu%2554%68_tOkEn%253D<redacted>"},
        // The whole encoded rest of the inner address goes with its secret.
        {u"login?next=https%3A%2F%2Fx%2Fy%3Foauth_token%3Dt%26a%3Db&c=1",
         u"login?next=https%3A%2F%2Fx%2Fy%3Foauth_token%3D<redacted>&c=1"},
        // Repeated, mixed case, other separators, a fragment, no "?", in a path.
        {u"a?oauth_token=1&Oauth_Token=2", u"a?oauth_token=<redacted>&Oauth_Token=<redacted>"},
        {u"a?x=1&amp;oauth_token=t&amp;y=2", u"a?x=1&amp;oauth_token=<redacted>&amp;y=2"},
        {u"a;oauth_token=t;b=1", u"a;oauth_token=<redacted>"},  // ";" does not end a value
        {u"a#oauth_signature=s", u"a#oauth_signature=<redacted>"},
        {u"en/password=p/x?y=1", u"en/password=<redacted>"},
        {u"oauth_verifier=v", u"oauth_verifier=<redacted>"},
        // Quoted, as in a header; the closing quote may be cut off.
        {u"Authorization: OAuth oauth_token=\"t\", oauth_signature=\"s%3D\"",
         u"Authorization: OAuth oauth_token=\"<redacted>\", oauth_signature=\"<redacted>\""},
        {u"password='a b&c' x", u"password='<redacted>' x"},
        {u"oauth_token=\"abc", u"oauth_token=\"<redacted>"},
        {u"oauth_token=\"\"", u"oauth_token=\"\""},
        // A secret inside an encoded value whose own value, quoted, ends further on.
        {u"oauth_token=a%3Doauth_verifier%3D\"v w\"", u"oauth_token=<redacted>\"<redacted>\""},
        // Look-alikes: the tail of a longer name, encoded or not.
        {u"a?my%5Fpassword=p&x.password=q&oauth_token2=r",
         u"a?my%5Fpassword=p&x.password=q&oauth_token2=r"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(RedactSecrets(in), out) << std::string(in.begin(), in.end());
    }
}

}  // namespace
