// The readers of the API's replies on their own, without a store: what they take from a reply,
// and how the text a hostile reply puts in a log line is shown.
#include "api/ApiReplies.h"

#include <gtest/gtest.h>

#include <string>

#include "support/LogCapture.h"

TEST(ApiReplies, LinkRepliesSayWhatIsMissing) {
    struct Case {
        std::u16string reply;
        LinkReply::Status status;
        std::u16string link;
    };
    const Case cases[] = {
        {u"<file><cdn_link>https://cdn/a?b=1&amp;c</cdn_link></file>", LinkReply::Status::Link,
         u"https://cdn/a?b=1&c"},
        {u"<file><cdn_link/></file>", LinkReply::Status::Link, u""},
        {u"<file><link>x</link></file>", LinkReply::Status::NoCdnLink, u""},
        {u"<files><cdn_link>x</cdn_link></files>", LinkReply::Status::NoFile, u""},
        {u"<file><cdn_link>x</file>", LinkReply::Status::NoFile, u""},
    };
    for (const Case& c : cases) {
        const LinkReply reply = ParseLinkReply(c.reply);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.link, c.link);
    }
}

TEST(ApiReplies, AvatarNamesAreOnePlainSegmentAndLoggedPrintably) {
    EXPECT_EQ(AvatarNamePart(u"https://cdn/pics/u1.jpg"), u"/u1.jpg");
    LogCapture log;
    for (const std::u16string url : {u"https://cdn/pics/..", u"https://cdn/", u"no-slash",
                                     u"https://cdn/x\n[ERR] forged line/.."}) {
        EXPECT_FALSE(AvatarNamePart(url).has_value());
    }
    ASSERT_EQ(log.Warnings().size(), 4u);
    // A line break from the network would forge a log line of its own.
    EXPECT_EQ(log.Warnings().back(),
              u"Avatar 'https://cdn/x?[ERR] forged line/..' has no usable file name; it is not "
              u"fetched.");
}
