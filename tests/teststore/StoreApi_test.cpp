// The test store's sign-in and game API, and the game files and chunk indexes its CDN serves,
// checked with this test's own OAuth signer and MD5s computed here with OpenSSL.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <regex>
#include <string>
#include <vector>

#include "support/TestStore.h"
#include "teststore/StoreHttp.h"

namespace {

using namespace storetest;

struct Credentials {
    std::string token;
    std::string secret;
    std::string verifier;
};

// The value of `name` in a reply of the form a=1&b=2 (the OAuth steps' replies), or "".
std::string QueryValue(const std::string& reply, const std::string& name) {
    size_t start = 0;
    while (start <= reply.size()) {
        size_t end = reply.find('&', start);
        if (end == std::string::npos) {
            end = reply.size();
        }
        const std::string pair = reply.substr(start, end - start);
        if (pair.compare(0, name.size() + 1, name + "=") == 0) {
            return pair.substr(name.size() + 1);
        }
        start = end + 1;
    }
    return {};
}

std::string Md5Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(data.data(), data.size(), digest, &size, EVP_md5(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

std::string Attribute(const std::string& xml, const std::string& name) {
    std::smatch match;
    const std::regex pattern(" " + name + "=\"([^\"]*)\"");
    return std::regex_search(xml, match, pattern) ? match[1].str() : "<absent>";
}

struct IndexChunk {
    uint64_t id, from, to;
    std::string md5;
};

std::vector<IndexChunk> Chunks(const std::string& xml) {
    std::vector<IndexChunk> chunks;
    const std::regex pattern(
        R"re(<chunk id="(\d+)" from="(\d+)" to="(\d+)" method="md5">([0-9a-f]{32})</chunk>)re");
    for (auto it = std::sregex_iterator(xml.begin(), xml.end(), pattern);
         it != std::sregex_iterator(); ++it) {
        chunks.push_back({std::stoull((*it)[1].str()), std::stoull((*it)[2].str()),
                          std::stoull((*it)[3].str()), (*it)[4].str()});
    }
    return chunks;
}

const std::string kGameDetails = "/en/downloader/gameDetails/";
const std::string kFileLink = "/en/downloader/fileLink/";
const std::string kUserDetails = "/en/downloader/userDetails/";
const std::string kForbiddenPage = "<h1>403 Forbidden</h1><h3>you do not own this game</h3>";

class StoreApiTest : public ::testing::Test {
protected:
    Reply Api(const std::string& path, const Credentials& as = {},
              const std::map<std::string, std::string>& params = {}) {
        return Fetch(store_,
                     SignedUrl(store_.ApiUrl(), path, params, "n" + std::to_string(++nonce_),
                               as.token, as.secret, as.verifier));
    }

    // The three sign-in steps with the given e-mail and password; the verifier of the login is
    // kept with the access token, since the program goes on sending it.
    Credentials SignIn(const std::string& email = TestStore::DemoEmail(),
                       const std::string& password = TestStore::DemoPassword()) {
        const Reply init = Api("/en/oauth/initialize/");
        EXPECT_EQ(init.status, 200) << init.body;
        Credentials temporary{QueryValue(init.body, "oauth_token"),
                              QueryValue(init.body, "oauth_token_secret"), ""};
        const Reply login =
            Api("/en/oauth/login/", temporary, {{"username", email}, {"password", password}});
        if (login.status != 200) {
            return {};
        }
        EXPECT_EQ(login.body.back(), '\n');
        temporary.verifier =
            QueryValue(login.body.substr(0, login.body.find('\n')), "oauth_verifier");
        const Reply exchange = Api("/en/oauth/token/", temporary);
        EXPECT_EQ(exchange.status, 200) << exchange.body;
        const std::string line = exchange.body.substr(0, exchange.body.find('\n'));
        return {QueryValue(line, "oauth_token"), QueryValue(line, "oauth_token_secret"),
                temporary.verifier};
    }

    TestStore store_;
    int nonce_ = 0;
};

TEST_F(StoreApiTest, ThreeStepSignInYieldsAWorkingAccessToken) {
    const Reply init = Api("/en/oauth/initialize/");
    ASSERT_EQ(init.status, 200) << init.body;
    // The client takes these values whole, so the reply carries no line end.
    ASSERT_EQ(init.body.find('\n'), std::string::npos);
    const Credentials temporary{QueryValue(init.body, "oauth_token"),
                                QueryValue(init.body, "oauth_token_secret"), ""};
    ASSERT_FALSE(temporary.token.empty());
    ASSERT_FALSE(temporary.secret.empty());
    EXPECT_EQ(Api(kUserDetails, temporary).status, 401);  // a temporary token is not enough

    const Reply login = Api("/en/oauth/login/", temporary,
                            {{"username", "Demo@Velkora.test"}, {"password", "demo-password"}});
    ASSERT_EQ(login.status, 200) << login.body;
    ASSERT_EQ(login.body.substr(0, 15), "oauth_verifier=");
    ASSERT_EQ(login.body.back(), '\n');
    Credentials authorized = temporary;
    authorized.verifier = login.body.substr(15, login.body.size() - 16);

    const Reply exchange = Api("/en/oauth/token/", authorized);
    ASSERT_EQ(exchange.status, 200) << exchange.body;
    const std::string line = exchange.body.substr(0, exchange.body.find('\n'));
    const Credentials access{QueryValue(line, "oauth_token"),
                             QueryValue(line, "oauth_token_secret"), authorized.verifier};
    ASSERT_FALSE(access.token.empty());
    EXPECT_NE(access.token, temporary.token);
    // The temporary token was used up by the exchange.
    EXPECT_EQ(Api("/en/oauth/token/", authorized).status, 401);

    const Reply user = Api(kUserDetails, access);
    ASSERT_EQ(user.status, 200) << user.body;
    EXPECT_EQ(user.body,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<user><xywka>Demo Player</xywka><email>demo@velkora.test</email>"
              "<avatar><small>" +
                  store_.CdnUrl() + "/avatars/small.png</small><big>" + store_.CdnUrl() +
                  "/avatars/big.png</big></avatar></user>\n");
    // Without the old verifier, as a token kept from an earlier run is used, it works as well.
    EXPECT_EQ(Api(kUserDetails, {access.token, access.secret, ""}).status, 200);

    const std::vector<StoreToken> tokens = store_.Tokens();
    ASSERT_EQ(tokens.size(), 1u);
    EXPECT_EQ(tokens[0].token, access.token);
    EXPECT_EQ(tokens[0].secret, access.secret);
    EXPECT_EQ(tokens[0].kind, "access");

    // The avatars are PNG images on the CDN.
    for (const char* which : {"/avatars/small.png", "/avatars/big.png"}) {
        const Reply image = Fetch(store_, store_.CdnUrl() + which);
        EXPECT_EQ(image.status, 200);
        EXPECT_EQ(image.body.substr(0, 8), "\x89PNG\r\n\x1a\n") << which;
    }
}

TEST_F(StoreApiTest, WrongCredentialsAndMisusedTokensAreRefused) {
    struct Case {
        const char* name;
        std::map<std::string, std::string> params;
        long status;
    };
    const Case cases[] = {
        {"wrong password", {{"username", "demo@velkora.test"}, {"password", "demo-Password"}}, 401},
        {"wrong e-mail", {{"username", "other@velkora.test"}, {"password", "demo-password"}}, 401},
        {"empty password", {{"username", "demo@velkora.test"}, {"password", ""}}, 401},
        {"no password", {{"username", "demo@velkora.test"}}, 400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Reply init = Api("/en/oauth/initialize/");
        const Credentials temporary{QueryValue(init.body, "oauth_token"),
                                    QueryValue(init.body, "oauth_token_secret"), ""};
        const Reply login = Api("/en/oauth/login/", temporary, c.params);
        EXPECT_EQ(login.status, c.status);
        EXPECT_FALSE(login.body.empty());
        // No verifier was bound, so the exchange is refused whatever verifier is sent.
        EXPECT_EQ(Api("/en/oauth/token/", {temporary.token, temporary.secret, "guess"}).status,
                  401);
    }
    EXPECT_NE(Api("/en/oauth/login/", {},
                  {{"username", "demo@velkora.test"}, {"password", "demo-password"}})
                  .body.find("needs a temporary token"),
              std::string::npos);

    // An exchange with another verifier than the login's is refused; the right one still works.
    const Reply init = Api("/en/oauth/initialize/");
    Credentials temporary{QueryValue(init.body, "oauth_token"),
                          QueryValue(init.body, "oauth_token_secret"), ""};
    ASSERT_EQ(Api("/en/oauth/login/", temporary,
                  {{"username", "demo@velkora.test"}, {"password", "demo-password"}})
                  .status,
              200);
    temporary.verifier = "0000";
    EXPECT_EQ(Api("/en/oauth/token/", temporary).status, 401);
    // An access token cannot sign the sign-in steps that want a temporary one.
    const Credentials access = SignIn();
    ASSERT_FALSE(access.token.empty());
    EXPECT_EQ(Api("/en/oauth/login/", access,
                  {{"username", "demo@velkora.test"}, {"password", "demo-password"}})
                  .status,
              401);
}

TEST_F(StoreApiTest, RevokedTokenIsRefusedAndAPasswordSignInFollows) {
    store_.AddToken("kept-token", "kept-secret");
    const Credentials kept{"kept-token", "kept-secret", ""};
    ASSERT_EQ(Api(kUserDetails, kept).status, 200);
    store_.RevokeToken("kept-token");
    const Reply refused = Api(kUserDetails, kept);
    EXPECT_EQ(refused.status, 401);
    EXPECT_NE(refused.body.find("unknown token"), std::string::npos) << refused.body;
    EXPECT_THROW(store_.RevokeToken("kept-token"), std::runtime_error);

    const Credentials fresh = SignIn();
    EXPECT_EQ(Api(kUserDetails, fresh).status, 200);
    EXPECT_EQ(SignIn(TestStore::DemoEmail(), "wrong").token, "");
}

TEST_F(StoreApiTest, GameDetailsAnswerOwnedGamesAndRefuseTheOthers) {
    const Credentials access = SignIn();
    const Reply demo = Api(kGameDetails + "demo-game", access);
    ASSERT_EQ(demo.status, 200) << demo.body;
    EXPECT_EQ(demo.body,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<game><title>Demo Game</title>"
              "<icon>" +
                  store_.CdnUrl() +
                  "/icons/demo-game.png</icon><installers>"
                  "<installer id=\"0\" path=\"setup/demo.bin\"/>"
                  "<installer id=\"1\" path=\"demo-data.bin\"/>"
                  "<installer id=\"2\" path=\"docs/manual.bin\"/>"
                  "</installers></game>\n");
    const Reply icon = Fetch(store_, store_.CdnUrl() + "/icons/demo-game.png");
    EXPECT_EQ(icon.status, 200);
    EXPECT_EQ(icon.body.substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_EQ(icon.Header("Content-Type"), "image/png");

    const Reply notOwned = Api(kGameDetails + "not-owned-game", access);
    EXPECT_EQ(notOwned.status, 403);
    EXPECT_EQ(notOwned.body, kForbiddenPage);
    EXPECT_EQ(Api(kFileLink + "not-owned-game/installer/0", access).status, 403);
    EXPECT_EQ(Api(kGameDetails + "no-such-game", access).status, 404);
    EXPECT_EQ(Api(kGameDetails, access).status, 404);
    EXPECT_EQ(Api(kGameDetails + "demo-game").status, 401);  // no token at all

    store_.SetOwned("not-owned-game", true);
    store_.SetOwned("demo-game", false);
    EXPECT_EQ(Api(kGameDetails + "not-owned-game", access).status, 200);
    EXPECT_EQ(Api(kGameDetails + "demo-game", access).body, kForbiddenPage);

    store_.AddGame(
        R"({"name":"added","title":"A & B","files":[{"id":0,"path":"a b.bin","size":5}]})");
    const Reply added = Api(kGameDetails + "added", access);
    EXPECT_NE(added.body.find("<title>A &amp; B</title>"), std::string::npos) << added.body;
    EXPECT_NE(added.body.find("<installer id=\"0\" path=\"a b.bin\"/>"), std::string::npos);
    const Reply link = Api(kFileLink + "added/installer/0", access);
    EXPECT_NE(link.body.find("/secure/added/a%20b.bin</cdn_link>"), std::string::npos) << link.body;
    store_.RemoveGame("added");
    EXPECT_EQ(Api(kGameDetails + "added", access).status, 404);
    EXPECT_THROW(store_.AddGame(R"({"name":"x","files":[{"id":1,"path":"../up","size":1}]})"),
                 std::runtime_error);
}

TEST_F(StoreApiTest, FileLinksPointAtTheFileAndItsChunkIndex) {
    const Credentials access = SignIn();
    const std::string secure = store_.CdnUrl() + "/secure/demo-game/setup/demo.bin";
    const Reply file = Api(kFileLink + "demo-game/installer/0", access);
    ASSERT_EQ(file.status, 200) << file.body;
    EXPECT_EQ(file.body, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<file><cdn_link>" + secure +
                             "</cdn_link></file>\n");
    const Reply crc = Api(kFileLink + "demo-game/installer/0/crc", access);
    EXPECT_EQ(crc.body, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<file><cdn_link>" + secure +
                            ".crc</cdn_link></file>\n");
    EXPECT_EQ(Api(kFileLink + "demo-game/installer/999", access).status, 404);
    EXPECT_EQ(Api(kFileLink + "demo-game/installer/", access).status, 404);
    EXPECT_EQ(store_.GameFile("demo-game", 0).url, secure);
    EXPECT_EQ(store_.GameFile("demo-game", 0).indexUrl, secure + ".crc");

    // The debug rewrite's "/open/" serves the same bytes as "/secure/".
    const Reply index = Fetch(store_, secure + ".crc");
    ASSERT_EQ(index.status, 200);
    std::string open = secure;
    open.replace(open.find("/secure/"), 8, "/open/");
    EXPECT_EQ(Fetch(store_, open + ".crc").body, index.body);
    EXPECT_EQ(Fetch(store_, open, WithRange("0-99")).body,
              store_.ExpectedFileContent("demo-game", 0, 0, 100));
}

TEST_F(StoreApiTest, ChunkIndexDigestsMatchTheContent) {
    struct Case {
        std::string game;
        uint32_t id;
        uint64_t size, chunkSize;
        bool available;
    };
    const Case cases[] = {
        {"demo-game", 0, 6u << 20, 1u << 20, true},
        {"demo-game", 1, 3u << 20, 1u << 20, true},
        {"demo-game", 2, 700u << 10, 1u << 20, true},
        {"single-file-game", 0, 100000, 32768, true},
        {"unreleased-game", 0, 50000, 1u << 20, true},
        {"unreleased-game", 1, 200000, 1u << 20, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.game + " " + std::to_string(c.id));
        const StoreGameFile info = store_.GameFile(c.game, c.id, true);
        const Reply index = Fetch(store_, info.indexUrl);
        ASSERT_EQ(index.status, 200);
        const Reply file = Fetch(store_, info.url);
        std::string content = file.body;
        if (c.available) {
            ASSERT_EQ(file.status, 200);
            EXPECT_EQ(Attribute(index.body, "available"), "1");
            EXPECT_EQ(Attribute(index.body, "notavailablemsg"), "<absent>");
        } else {
            // The CDN refuses a file that is not available; its index still describes it.
            EXPECT_EQ(file.status, 404);
            EXPECT_EQ(Attribute(index.body, "available"), "0");
            EXPECT_EQ(Attribute(index.body, "notavailablemsg"),
                      "This file will be available at release.");
            content = store_.ExpectedFileContent(c.game, c.id, 0, c.size);
        }
        ASSERT_EQ(content.size(), c.size);
        EXPECT_EQ(content, store_.ExpectedFileContent(c.game, c.id, 0, c.size));
        EXPECT_EQ(Attribute(index.body, "total_size"), std::to_string(c.size));
        EXPECT_EQ(Attribute(index.body, "timestamp"), info.timestamp);
        EXPECT_EQ(Attribute(index.body, "md5"), Md5Hex(content));
        EXPECT_EQ(info.md5, Md5Hex(content));
        EXPECT_EQ(store_.ExpectedFileMd5(c.game, c.id), Md5Hex(content));

        const std::vector<IndexChunk> chunks = Chunks(index.body);
        ASSERT_EQ(chunks.size(), (c.size + c.chunkSize - 1) / c.chunkSize);
        for (size_t i = 0; i < chunks.size(); ++i) {
            SCOPED_TRACE("chunk " + std::to_string(i));
            EXPECT_EQ(chunks[i].id, i);
            EXPECT_EQ(chunks[i].from, i * c.chunkSize);
            EXPECT_EQ(chunks[i].to, std::min((i + 1) * c.chunkSize, c.size) - 1);
            const std::string bytes = content.substr(
                chunks[i].from, static_cast<size_t>(chunks[i].to - chunks[i].from + 1));
            EXPECT_EQ(chunks[i].md5, Md5Hex(bytes));
            EXPECT_EQ(store_.ExpectedChunkMd5(c.game, c.id, static_cast<uint32_t>(i)),
                      Md5Hex(bytes));
        }
    }
}

TEST_F(StoreApiTest, GameFilesServeRanges) {
    const std::string url = store_.GameFile("demo-game", 0).url;
    struct Case {
        std::string range;
        long status;
        uint64_t from, length;
    };
    const uint64_t size = 6u << 20;
    const Case cases[] = {
        {"1048570-1048585", 206, 1048570, 16},  // across a chunk border
        {"6291450-", 206, 6291450, 6},
        {"-4", 206, size - 4, 4},
        {"2097152-3145727", 206, 2097152, 1u << 20},  // exactly chunk 2
        {"6291456-", 416, 0, 0},
    };
    for (const std::string& base : {url, store_.CdnHttpUrl() + url.substr(url.find("/secure/"))}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(base + " " + c.range);
            const Reply reply = Fetch(store_, base, WithRange(c.range));
            EXPECT_EQ(reply.status, c.status);
            EXPECT_EQ(reply.body, store_.ExpectedFileContent("demo-game", 0, c.from, c.length));
        }
    }
}

TEST_F(StoreApiTest, ChangedFilesGetNewIndexesAndContent) {
    const StoreGameFile before = store_.GameFile("single-file-game", 0, true);
    store_.ChangeFile("single-file-game", 0, {{"timestamp", "1800000000"}});
    const StoreGameFile stamped = store_.GameFile("single-file-game", 0, true);
    EXPECT_EQ(stamped.timestamp, "1800000000");
    EXPECT_EQ(stamped.md5, before.md5);  // a new stamp alone keeps the content
    const Reply index = Fetch(store_, stamped.indexUrl);
    EXPECT_EQ(Attribute(index.body, "timestamp"), "1800000000");

    store_.ChangeFile("single-file-game", 0, {{"seed", "changed"}, {"size", "70000"}});
    const Reply content = Fetch(store_, stamped.url);
    EXPECT_EQ(content.body, TestStore::GeneratedContent("changed", 0, 70000));
    const Reply newIndex = Fetch(store_, stamped.indexUrl);
    EXPECT_EQ(Attribute(newIndex.body, "md5"), Md5Hex(content.body));
    EXPECT_EQ(Chunks(newIndex.body).size(), 3u);

    store_.ChangeFile("single-file-game", 0, {{"available", "0"}, {"notavailablemsg", "gone"}});
    EXPECT_EQ(Fetch(store_, stamped.url).status, 404);
    EXPECT_EQ(Attribute(Fetch(store_, stamped.indexUrl).body, "notavailablemsg"), "gone");
    EXPECT_THROW(store_.ChangeFile("single-file-game", 999, {{"timestamp", "1"}}),
                 std::runtime_error);
    EXPECT_THROW(store_.ChangeFile("single-file-game", 0, {{"chunk_size", "0"}}),
                 std::runtime_error);
}

TEST_F(StoreApiTest, FaultsSpoilIndexesBytesAndApiAnswers) {
    const Credentials access = SignIn();
    store_.SetFault(
        R"({"server":"api","path_prefix":"/en/downloader/gameDetails/","fail_next":2,"status":500})");
    EXPECT_EQ(Api(kGameDetails + "demo-game", access).status, 500);
    EXPECT_EQ(Api(kGameDetails + "demo-game", access).status, 500);
    EXPECT_EQ(Api(kGameDetails + "demo-game", access).status, 200);

    const StoreGameFile file = store_.GameFile("demo-game", 0);
    const std::string indexPath = file.indexUrl.substr(file.indexUrl.find("/secure/"));
    const std::vector<IndexChunk> good = Chunks(Fetch(store_, file.indexUrl).body);
    store_.SetFault(R"({"server":"cdn","path":")" + indexPath + R"(","wrong_chunk":1})");
    const std::vector<IndexChunk> spoiled = Chunks(Fetch(store_, file.indexUrl).body);
    ASSERT_EQ(spoiled.size(), good.size());
    for (size_t i = 0; i < good.size(); ++i) {
        EXPECT_EQ(spoiled[i].md5 == good[i].md5, i != 1) << i;
    }
    EXPECT_EQ(Chunks(Fetch(store_, file.indexUrl).body)[1].md5, good[1].md5);  // used up

    store_.SetFault(R"({"server":"cdn","path":")" + indexPath + R"(","wrong_file_md5":true})");
    const std::string wrongWhole = Fetch(store_, file.indexUrl).body;
    EXPECT_NE(Attribute(wrongWhole, "md5"), store_.ExpectedFileMd5("demo-game", 0));
    EXPECT_EQ(Chunks(wrongWhole)[1].md5, good[1].md5);

    // A chunk the file does not have, or an index fault on a file, is answered with 500.
    store_.SetFault(R"({"server":"cdn","path":")" + indexPath + R"(","wrong_chunk":6})");
    EXPECT_EQ(Fetch(store_, file.indexUrl).status, 500);
    const std::string filePath = file.url.substr(file.url.find("/secure/"));
    store_.SetFault(R"({"server":"cdn","path":")" + filePath + R"(","wrong_chunk":0})");
    EXPECT_EQ(Fetch(store_, file.url, WithRange("0-9")).status, 500);

    // corrupt_range flips exactly the bytes at those file offsets, whatever range is asked.
    store_.SetFault(R"({"server":"cdn","path":")" + filePath +
                    R"(","corrupt_range":[1048576,1048580],"fail_next":2})");
    for (int round = 0; round < 2; ++round) {
        const Reply reply = Fetch(store_, file.url, WithRange("1048570-1048589"));
        std::string expected = store_.ExpectedFileContent("demo-game", 0, 1048570, 20);
        for (size_t i = 6; i <= 10; ++i) {
            expected[i] = static_cast<char>(expected[i] ^ '\xFF');
        }
        EXPECT_EQ(reply.body, expected) << round;
    }
    EXPECT_EQ(Fetch(store_, file.url, WithRange("1048570-1048589")).body,
              store_.ExpectedFileContent("demo-game", 0, 1048570, 20));
    // Far into a long body, after the store's first blocks of sending.
    store_.SetFault(R"({"server":"cdn","path":")" + filePath +
                    R"(","corrupt_range":[1200000,1200003]})");
    const Reply longBody = Fetch(store_, file.url, WithRange("1048576-2097151"));
    std::string expected = store_.ExpectedFileContent("demo-game", 0, 1048576, 1u << 20);
    for (size_t i = 1200000 - 1048576; i <= 1200003 - 1048576; ++i) {
        expected[i] = static_cast<char>(expected[i] ^ '\xFF');
    }
    EXPECT_TRUE(longBody.body == expected);  // not printed: a megabyte
    EXPECT_THROW(store_.SetFault(R"({"corrupt_range":[5,2]})"), std::runtime_error);
}

}  // namespace
