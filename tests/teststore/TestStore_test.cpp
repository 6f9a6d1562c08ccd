// The local test store itself, driven from C++ as the other tests drive it: TLS verified
// against its CA, status page, byte ranges, keep-alive, the fault switches and the request log.
#include "support/TestStore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "core/TextUtil.h"
#include "engine/Md5Context.h"
#include "support/FileFixtures.h"
#include "support/TempHome.h"
#include "teststore/StoreHttp.h"

namespace {

using namespace storetest;

const std::string kStatusPath = "/en/downloader/status/";
const std::string kDigits = "0123456789";

class TestStoreTest : public ::testing::Test {
protected:
    void SetUp() override { store_.PutResource("/files/digits.bin", kDigits); }
    std::string Cdn(const std::string& path = "/files/digits.bin") const {
        return store_.CdnUrl() + path;
    }

    TestStore store_;
};

TEST_F(TestStoreTest, StatusPageFollowsTheSiteSwitch) {
    Reply up = Fetch(store_, store_.SiteUrl() + kStatusPath);
    ASSERT_EQ(up.code, CURLE_OK) << curl_easy_strerror(up.code);
    EXPECT_EQ(up.status, 200);
    EXPECT_EQ(up.body, "OK");

    store_.SetSiteUp(false);
    const Reply down = Fetch(store_, store_.SiteUrl() + kStatusPath);
    EXPECT_NE(down.code, CURLE_OK);  // switched down: no answer at all
    EXPECT_EQ(down.status, 0);
    store_.SetSiteUp(true);
    EXPECT_EQ(Fetch(store_, store_.SiteUrl() + kStatusPath).status, 200);
    EXPECT_EQ(Fetch(store_, store_.SiteUrl() + "/en/other/").status, 404);
}

TEST_F(TestStoreTest, TlsIsRefusedWithoutTheStoreCa) {
    EnsureCurlInitialised();
    CurlEasy handle(curl_easy_init());
    curl_easy_setopt(handle.get(), CURLOPT_URL, (store_.SiteUrl() + kStatusPath).c_str());
    curl_easy_setopt(handle.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle.get(), CURLOPT_CAINFO, "/dev/null");
    curl_easy_setopt(handle.get(), CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT_MS, 20000L);
    const CURLcode code = curl_easy_perform(handle.get());
    EXPECT_NE(code, CURLE_OK);

    // The certificate names localhost as well as 127.0.0.1.
    std::string localhost = store_.SiteUrl();
    localhost.replace(localhost.find("127.0.0.1"), 9, "localhost");
    Reply byName = Fetch(store_, localhost + kStatusPath);
    EXPECT_EQ(byName.code, CURLE_OK) << curl_easy_strerror(byName.code);
    EXPECT_EQ(byName.status, 200);
}

TEST_F(TestStoreTest, CdnServesByteRangesOnBothListeners) {
    struct Case {
        std::string range;
        long status;
        std::string body;
        std::string contentRange;
    };
    const Case cases[] = {
        {"", 200, kDigits, ""},
        {"2-4", 206, "234", "bytes 2-4/10"},
        {"5-", 206, "56789", "bytes 5-9/10"},
        {"-3", 206, "789", "bytes 7-9/10"},
        {"3-100", 206, "3456789", "bytes 3-9/10"},
        {"9-9", 206, "9", "bytes 9-9/10"},
        {"10-", 416, "", "bytes */10"},
        {"4-2", 416, "", "bytes */10"},
    };
    for (const std::string& base : {store_.CdnUrl(), store_.CdnHttpUrl()}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(base + " range '" + c.range + "'");
            Reply reply = Fetch(store_, base + "/files/digits.bin", WithRange(c.range));
            ASSERT_EQ(reply.code, CURLE_OK) << curl_easy_strerror(reply.code);
            EXPECT_EQ(reply.status, c.status);
            EXPECT_EQ(reply.body, c.body);
            EXPECT_EQ(reply.Header("Content-Range"), c.contentRange);
        }
    }

    Reply head = Fetch(store_, Cdn(), HeadOnly());
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.contentLength, 10);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(Fetch(store_, Cdn("/files/missing.bin")).status, 404);
}

TEST_F(TestStoreTest, GeneratedResourceMatchesGeneratedContent) {
    const uint64_t size = 3 * 4096 + 123;
    store_.PutGeneratedResource("/files/big.bin", "seed-1", size);
    Reply whole = Fetch(store_, Cdn("/files/big.bin"));
    ASSERT_EQ(whole.status, 200);
    ASSERT_EQ(whole.body.size(), size);
    EXPECT_EQ(whole.body, TestStore::GeneratedContent("seed-1", 0, size));

    // A range across block borders is the same slice; another seed gives other bytes.
    Reply part = Fetch(store_, Cdn("/files/big.bin"), WithRange("4090-8200"));
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.body, whole.body.substr(4090, 8200 - 4090 + 1));
    EXPECT_EQ(part.body, TestStore::GeneratedContent("seed-1", 4090, 8200 - 4090 + 1));
    EXPECT_NE(TestStore::GeneratedContent("seed-2", 0, 64), whole.body.substr(0, 64));
}

TEST_F(TestStoreTest, LogShowsKeptAliveConnectionsAndWhatWasAnswered) {
    EnsureCurlInitialised();
    CurlEasy first(curl_easy_init());
    ASSERT_EQ(Fetch(first.get(), store_, Cdn(), WithRange("2-4")).status, 206);
    ASSERT_EQ(Fetch(first.get(), store_, Cdn()).status, 200);
    ASSERT_EQ(Fetch(store_, Cdn()).status, 200);  // another handle: another connection

    const std::vector<StoreRequest> log = store_.Requests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].server, "cdn");
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_EQ(log[0].path, "/files/digits.bin");
    EXPECT_EQ(log[0].range, "bytes=2-4");
    EXPECT_EQ(log[0].status, 206);
    EXPECT_EQ(log[0].bytesSent, 3u);
    EXPECT_EQ(log[1].range, "");
    EXPECT_EQ(log[1].bytesSent, 10u);
    EXPECT_EQ(log[0].connection, log[1].connection);
    EXPECT_NE(log[1].connection, log[2].connection);

    store_.ClearRequests();
    EXPECT_TRUE(store_.Requests().empty());
}

TEST_F(TestStoreTest, LogTimesAreArrivalsOnOneClock) {
    // The first answer is held back a second; the second request, on the same connection, can
    // only be sent once that answer is in. Arrival times are a second apart, whereas times
    // taken when the answers went out would be nearly equal.
    store_.SetFault(R"({"server":"cdn","path":"/files/digits.bin","stall_seconds":1})");
    EnsureCurlInitialised();
    CurlEasy handle(curl_easy_init());
    ASSERT_EQ(Fetch(handle.get(), store_, Cdn()).status, 200);
    ASSERT_EQ(Fetch(handle.get(), store_, Cdn()).status, 200);

    const std::vector<StoreRequest> log = store_.Requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_GT(log[0].time, 0.0);
    EXPECT_GE(log[1].time - log[0].time, 1.0);
    EXPECT_LT(log[1].time - log[0].time, 10.0);
}

TEST_F(TestStoreTest, LogKeepsPathAndQueryAsReceived) {
    Fetch(store_, store_.CdnHttpUrl() + "/files/a%20b%09.bin?x=1%092&y=%C3%A9");
    const std::vector<StoreRequest> log = store_.Requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].server, "cdn_http");
    EXPECT_EQ(log[0].path, "/files/a%20b%09.bin");
    EXPECT_EQ(log[0].query, "x=1%092&y=%C3%A9");
    EXPECT_EQ(log[0].status, 404);
}

TEST_F(TestStoreTest, ApiRefusesAnUnsignedRequest) {
    Reply reply = Fetch(store_, store_.ApiUrl() + "/test/echo/x?a=1");
    ASSERT_EQ(reply.code, CURLE_OK) << curl_easy_strerror(reply.code);
    EXPECT_EQ(reply.status, 401);
    EXPECT_NE(reply.body.find("missing"), std::string::npos) << reply.body;

    // A request with every OAuth parameter but a made-up signature is refused as well.
    Reply forged = Fetch(store_, store_.ApiUrl() +
                                     "/test/echo/x?oauth_consumer_key="
                                     "7c0e59a2b4d81f36e9a05c7d2b8e41f60a3d9c57"
                                     "&oauth_nonce=abc&oauth_signature=AAAA"
                                     "&oauth_signature_method=HMAC-SHA1"
                                     "&oauth_timestamp=1&oauth_version=1.0");
    EXPECT_EQ(forged.status, 401);
    EXPECT_NE(forged.body.find("signature does not match"), std::string::npos) << forged.body;

    const std::vector<StoreRequest> log = store_.Requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].server, "api");
    EXPECT_EQ(log[0].path, "/test/echo/x");
    EXPECT_EQ(log[0].query, "a=1");
    EXPECT_EQ(log[0].status, 401);
    EXPECT_FALSE(log[0].signatureValid);
    EXPECT_FALSE(log[1].signatureValid);
}

TEST_F(TestStoreTest, ApiAcceptsAnRfcSignatureOnceAndEchoesTheParameters) {
    const std::string now = std::to_string(std::time(nullptr));
    const std::string url = SignedUrl(store_.ApiUrl(), "/test/echo/x",
                                      {{"username", "a b&c=d+/\xC3\xA9"}, {"z", ""}}, "nonce1");
    Reply reply = Fetch(store_, url);
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.Header("Content-Type"), "text/plain; charset=utf-8");
    const std::string timestamp = url.substr(url.find("oauth_timestamp=") + 16, now.size());
    EXPECT_EQ(reply.body,
              "oauth_consumer_key=7c0e59a2b4d81f36e9a05c7d2b8e41f60a3d9c57\n"
              "oauth_nonce=nonce1\n"
              "oauth_signature_method=HMAC-SHA1\n"
              "oauth_timestamp=" +
                  timestamp +
                  "\n"
                  "oauth_version=1.0\n"
                  "username=a b&c=d+/\xC3\xA9\n"
                  "z=\n");
    // The same nonce and timestamp again is a replay.
    EXPECT_EQ(Fetch(store_, url).status, 401);

    // A token counts only once the store knows it, and only with its own secret.
    const std::string withToken =
        SignedUrl(store_.ApiUrl(), "/test/echo/t", {}, "nonce2", "tok", "s e");
    EXPECT_EQ(Fetch(store_, withToken).status, 401);  // unknown token
    store_.AddToken("tok", "s e");
    EXPECT_EQ(Fetch(store_, SignedUrl(store_.ApiUrl(), "/test/echo/t", {}, "nonce3", "tok", "s e"))
                  .status,
              200);
    EXPECT_EQ(
        Fetch(store_, SignedUrl(store_.ApiUrl(), "/test/echo/t", {}, "nonce4", "tok", "x")).status,
        401);

    const std::vector<StoreRequest> log = store_.Requests();
    ASSERT_EQ(log.size(), 5u);
    const bool expected[] = {true, false, false, true, false};
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].signatureValid, expected[i]) << i;
    }
}

TEST_F(TestStoreTest, FaultsCountDownAndClear) {
    store_.SetFault(R"({"server":"cdn","path":"/files/digits.bin","fail_next":2,"status":500})");
    EXPECT_EQ(Fetch(store_, Cdn()).status, 500);
    EXPECT_EQ(Fetch(store_, store_.CdnHttpUrl() + "/files/digits.bin").status, 200);  // not cdn
    EXPECT_EQ(Fetch(store_, Cdn()).status, 500);
    EXPECT_EQ(Fetch(store_, Cdn()).status, 200);

    store_.SetFault(R"({"path_prefix":"/files/","fail_next":-1,"status":503,"body":"busy"})");
    for (int i = 0; i < 3; ++i) {
        Reply reply = Fetch(store_, store_.CdnHttpUrl() + "/files/digits.bin");
        EXPECT_EQ(reply.status, 503);
        EXPECT_EQ(reply.body, "busy");
    }
    store_.ClearFaults();
    EXPECT_EQ(Fetch(store_, Cdn()).status, 200);

    // Faults apply on the API and the site too, ahead of their own answers.
    store_.SetFault(R"({"server":"api","path_prefix":"/test/","status":502})");
    store_.SetFault(R"({"server":"site","path":"/en/downloader/status/","status":500})");
    EXPECT_EQ(Fetch(store_, store_.ApiUrl() + "/test/echo/x").status, 502);
    EXPECT_EQ(Fetch(store_, store_.SiteUrl() + kStatusPath).status, 500);

    EXPECT_THROW(store_.SetFault(R"({"server":"cdn","statuss":500})"), std::runtime_error);
    // A Retry-After value must fit one header line: no negative count, no line end smuggling
    // in another header, no true/false.
    for (const char* bad : {R"("retry_after":-1)", R"("retry_after":"2\r\nX-Evil: 1")",
                            R"("retry_after":true)", R"("retry_after":1.5)"}) {
        EXPECT_THROW(store_.SetFault(std::string(R"({"server":"cdn","status":503,)") + bad + "}"),
                     std::runtime_error)
            << bad;
    }
    EXPECT_THROW(store_.SetFault(R"({"server":"elsewhere","status":500})"), std::runtime_error);
    EXPECT_THROW(store_.SetFault("not json"), std::runtime_error);
}

TEST_F(TestStoreTest, EachFaultSwitchDoesWhatItSays) {
    const std::string multiByte = [] {
        std::string text;
        for (int i = 0; i < 3000; ++i) {
            text += "\xC3\xA4\xE2\x82\xAC";  // a-umlaut, euro sign
        }
        return text;
    }();
    struct Case {
        const char* name;
        std::string fault;  // its "server" and "path" are added below
        FetchOptions options;
        std::function<void(const Reply&, const StoreRequest&)> check;
    };
    const std::vector<Case> cases = {
        {"body",
         R"("body":")" + multiByte + R"(")",
         {},
         [&](const Reply& r, const StoreRequest&) {
             EXPECT_EQ(r.status, 200);
             EXPECT_EQ(r.body, multiByte);
         }},
        {"redirect",
         R"("redirect":"https://127.0.0.1:1/elsewhere")",
         {},
         [](const Reply& r, const StoreRequest&) {
             EXPECT_EQ(r.status, 302);
             EXPECT_EQ(r.Header("Location"), "https://127.0.0.1:1/elsewhere");
         }},
        {"redirect with status",
         R"("redirect":"/x","status":301)",
         {},
         [](const Reply& r, const StoreRequest&) {
             EXPECT_EQ(r.status, 301);
             EXPECT_EQ(r.Header("Location"), "/x");
         }},
        {"cut_after",
         R"("cut_after":3)",
         {},
         [](const Reply& r, const StoreRequest& logged) {
             EXPECT_EQ(r.code, CURLE_PARTIAL_FILE);
             EXPECT_EQ(r.contentLength, 10);
             EXPECT_EQ(r.body, "012");
             EXPECT_EQ(logged.status, 200);
             EXPECT_EQ(logged.bytesSent, 3u);
         }},
        {"stall_seconds", R"("stall_seconds":3)", GiveUpAfterMs(300),
         [](const Reply& r, const StoreRequest&) {
             EXPECT_EQ(r.code, CURLE_OPERATION_TIMEDOUT);
             EXPECT_EQ(r.status, 0);
         }},
        {"stall_after_headers", R"("stall_after_headers":3)", GiveUpAfterMs(1500),
         [](const Reply& r, const StoreRequest&) {
             EXPECT_EQ(r.code, CURLE_OPERATION_TIMEDOUT);
             EXPECT_EQ(r.status, 200);
             EXPECT_EQ(r.body, "");
         }},
        {"ignore_range", R"("ignore_range":true)", WithRange("2-4"),
         [](const Reply& r, const StoreRequest& logged) {
             EXPECT_EQ(r.status, 200);
             EXPECT_EQ(r.body, kDigits);
             EXPECT_EQ(logged.range, "bytes=2-4");
         }},
        {"no_content_length",
         R"("no_content_length":true)",
         {},
         [](const Reply& r, const StoreRequest&) {
             EXPECT_EQ(r.code, CURLE_OK) << curl_easy_strerror(r.code);
             EXPECT_EQ(r.status, 200);
             EXPECT_EQ(r.contentLength, -1);
             EXPECT_EQ(r.body, kDigits);
         }},
        {"wrong_content_range", R"("wrong_content_range":true)", WithRange("2-4"),
         [](const Reply& r, const StoreRequest&) {
             EXPECT_EQ(r.status, 206);
             EXPECT_EQ(r.body, "234");
             EXPECT_EQ(r.Header("Content-Range"), "bytes 3-5/11");
         }},
        {"wrong_content_range text", R"("wrong_content_range":"bytes 0-2/10")", WithRange("2-4"),
         [](const Reply& r, const StoreRequest&) {
             EXPECT_EQ(r.Header("Content-Range"), "bytes 0-2/10");
         }},
        {"retry_after seconds",
         R"("status":503,"retry_after":2)",
         {},
         [](const Reply& r, const StoreRequest& logged) {
             EXPECT_EQ(r.status, 503);
             EXPECT_EQ(r.Header("Retry-After"), "2");
             EXPECT_EQ(logged.status, 503);
         }},
        {"retry_after text",
         R"("status":429,"retry_after":"Wed, 21 Oct 2015 07:28:00 GMT")",
         {},
         [](const Reply& r, const StoreRequest&) {
             EXPECT_EQ(r.status, 429);
             EXPECT_EQ(r.Header("Retry-After"), "Wed, 21 Oct 2015 07:28:00 GMT");
         }},
        {"retry_after garbage",
         R"("status":503,"retry_after":"soon-ish \u00e9")",
         {},
         [](const Reply& r, const StoreRequest&) {
             EXPECT_EQ(r.Header("Retry-After"), "soon-ish \xE9");  // Latin-1 on the wire
         }},
        {"corrupt", R"("corrupt":true)", WithRange("1-3"),
         [](const Reply& r, const StoreRequest&) {
             EXPECT_EQ(r.status, 206);
             EXPECT_EQ(r.body, std::string("\xCE") + "23");  // '1' ^ 0xFF
         }},
    };
    for (const std::string server : {"cdn", "cdn_http"}) {
        const std::string base = server == "cdn" ? store_.CdnUrl() : store_.CdnHttpUrl();
        for (const Case& c : cases) {
            SCOPED_TRACE(server + ": " + c.name);
            store_.ClearRequests();
            store_.SetFault(R"({"server":")" + server + R"(","path":"/files/digits.bin",)" +
                            c.fault + "}");
            Reply reply = Fetch(store_, base + "/files/digits.bin", c.options);
            c.check(reply, store_.Requests().at(0));
            // The fault was used up: the next request is answered normally.
            Reply after = Fetch(store_, base + "/files/digits.bin");
            EXPECT_EQ(after.status, 200);
            EXPECT_EQ(after.body, kDigits);
        }
    }
}

TEST_F(TestStoreTest, RateFaultSlowsTheBody) {
    const std::string data = TestStore::GeneratedContent("rate", 0, 3000);
    store_.PutResource("/files/slow.bin", data);
    store_.SetFault(R"({"server":"cdn","path":"/files/slow.bin","rate":4000})");
    const auto start = std::chrono::steady_clock::now();
    Reply reply = Fetch(store_, Cdn("/files/slow.bin"));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, data);
    // 3000 bytes at 4000 bytes a second cannot arrive in much less than 0.75 s.
    EXPECT_GE(took, std::chrono::milliseconds(600));
}

TEST(TestStoreLifetime, StopsCleanlyAndLeavesNothingBehind) {
    for (int round = 0; round < 3; ++round) {
        std::string control;
        std::filesystem::path caFolder;
        {
            TestStore store;
            TestStore other;  // two stores at once get their own ports
            EXPECT_NE(store.ApiUrl(), other.ApiUrl());
            caFolder = std::filesystem::path(store.CaFile()).parent_path();
            EXPECT_TRUE(std::filesystem::exists(store.CaFile()));
            control = store.SiteUrl();
            EXPECT_EQ(Fetch(store, control + kStatusPath).status, 200);
        }
        EXPECT_FALSE(std::filesystem::exists(caFolder)) << caFolder;
        EnsureCurlInitialised();
        CurlEasy handle(curl_easy_init());
        curl_easy_setopt(handle.get(), CURLOPT_URL, (control + kStatusPath).c_str());
        curl_easy_setopt(handle.get(), CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT_MS, 5000L);
        curl_easy_setopt(handle.get(), CURLOPT_SSL_VERIFYPEER, 0L);
        EXPECT_EQ(curl_easy_perform(handle.get()), CURLE_COULDNT_CONNECT);
    }
}

TEST(TestStoreLifetime, UseInEnvironmentPointsTheProgramAtTheStore) {
    TestStore store;
    store.UseInEnvironment();
    EXPECT_EQ(std::string(std::getenv("VELKDOWNLOADER_API_URL")), store.ApiUrl());
    EXPECT_EQ(std::string(std::getenv("VELKDOWNLOADER_SITE_URL")), store.SiteUrl());
    EXPECT_EQ(std::string(std::getenv("VELKDOWNLOADER_CA_FILE")), store.CaFile());
}

// A benchmark serves the content from another web server: the store then links its files there, and
// writes the files and chunk indexes that server needs, with the bytes and digests it would serve.
TEST(TestStoreLifetime, ContentElsewhereGetsLinksAndExportedFiles) {
    TempDir folder;
    const std::filesystem::path games = folder.Path() / "games.json";
    WriteFile(games,
              R"({"games":[{"name":"elsewhere","files":[)"
              R"({"id":0,"path":"a/one.bin","size":5000,"seed":"e/0","chunk_size":2048}]}]})");

    TestStore store({games, {"--content-url", "http://127.0.0.1:9/base/"}});
    EXPECT_EQ(store.GameFile("elsewhere", 0).url,
              "http://127.0.0.1:9/base/secure/elsewhere/a/one.bin");
    // The index holds the digests: it always comes from the store's own HTTPS server.
    EXPECT_EQ(store.GameFile("elsewhere", 0).indexUrl,
              store.CdnUrl() + "/secure/elsewhere/a/one.bin.crc");

    const std::filesystem::path root(VELK_SOURCE_DIR);
    const std::filesystem::path out = folder.Path() / "content";
    const std::string command = "/usr/bin/python3 -B '" +
                                (root / "teststore" / "teststore.py").string() + "' --games '" +
                                games.string() + "' --export-content '" + out.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::filesystem::path file = out / "secure" / "elsewhere" / "a" / "one.bin";
    const std::string bytes = ReadFile(file);
    EXPECT_EQ(bytes, TestStore::GeneratedContent("e/0", 0, 5000));
    const std::string index = ReadFile(file.string() + ".crc");
    EXPECT_NE(index.find(R"(md5=")" + WideToUtf8(Md5Hex(bytes)) + "\""), std::string::npos)
        << index;
    EXPECT_NE(index.find(R"(<chunk id="2" from="4096" to="4999" method="md5">)" +
                         WideToUtf8(Md5Hex(std::string_view(bytes).substr(4096)))),
              std::string::npos)
        << index;
}

}  // namespace
