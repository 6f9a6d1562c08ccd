// The store API calls against the local test store: game details with the icon, file and
// chunk-index links, the chunk index download, the 403 page's message, and replies that are
// malformed or hostile (paths that would leave the data folder).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/ConnectionsManager.h"
#include "core/DownloadInfo.h"
#include "core/FileInfo.h"
#include "core/TextUtil.h"
#include "support/FileFixtures.h"
#include "support/LogCapture.h"
#include "support/TempHome.h"
#include "support/TestStore.h"

namespace fs = std::filesystem;

namespace {

constexpr char kDetailsPrefix[] = "/en/downloader/gameDetails/";
constexpr char kLinkPrefix[] = "/en/downloader/fileLink/";

// A manager whose shutdown can be started without threads.
class CallsManager : public ConnectionsManager {
public:
    void BeginTerminating() { terminating_ = true; }
};

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Utf8(const std::u16string& text) {
    return WideToUtf8(text);
}

// Every file and folder under `root` with its size; the log is left out, since the logger may
// write it anywhere in the temporary home while a test runs.
std::map<std::string, uintmax_t> Tree(const fs::path& root) {
    std::map<std::string, uintmax_t> tree;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        if (entry.path().filename().string().starts_with("output.log")) {
            continue;
        }
        const bool file = entry.is_regular_file();
        tree[fs::relative(entry.path(), root).string()] = file ? entry.file_size() : 0;
    }
    return tree;
}

// A chunk index as the content server writes it, for a file of `size` bytes in `chunks`.
struct IndexChunk {
    int id;
    uint64_t from;
    uint64_t to;
};
std::string IndexXml(uint64_t size, const std::vector<IndexChunk>& chunks) {
    const std::string digest(32, 'a');
    std::string xml = "<file available=\"1\" timestamp=\"7\" total_size=\"" + std::to_string(size) +
                      "\" md5=\"" + digest + "\">";
    for (const IndexChunk& chunk : chunks) {
        xml += "<chunk id=\"" + std::to_string(chunk.id) + "\" from=\"" +
               std::to_string(chunk.from) + "\" to=\"" + std::to_string(chunk.to) +
               "\" method=\"md5\">" + digest + "</chunk>";
    }
    return xml + "</file>";
}

class ApiCallsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            store_ = std::make_unique<TestStore>();
        } catch (const std::exception& error) {
            storeError_ = error.what();
        }
    }
    static void TearDownTestSuite() { store_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(store_) << "the test store did not start: " << storeError_;
        Store().UseInEnvironment();
        Store().ClearFaults();
        Store().AddToken("calls-token", "calls-secret");
        home_ = std::make_unique<TempHome>();
        dataFolder_ = home_->DataHome() / "VelkDownloader/";
        recordFolder_ = home_->Home() / "Downloads/";
        fs::create_directories(dataFolder_);
        fs::create_directories(recordFolder_);
        manager_ = std::make_unique<CallsManager>();
        ASSERT_TRUE(manager_->Connect());
        manager_->SetToken(u"calls-token", u"calls-secret");
        manager_->SetDataFolder(Wide(dataFolder_));
        Store().ClearRequests();
        log_ = std::make_unique<LogCapture>();
    }
    void TearDown() override {
        log_.reset();
        manager_.reset();
        home_.reset();
    }

    static TestStore& Store() { return *store_; }

    // Every API request for `pathPrefix` answers 200 with `body`.
    void ServeOnApi(const std::string& pathPrefix, const std::string& body) {
        Store().SetFault("{\"server\":\"api\",\"path_prefix\":" + JsonString(pathPrefix) +
                         ",\"fail_next\":-1,\"status\":200,\"body\":" + JsonString(body) + "}");
    }

    std::vector<StoreRequest> Requests(const std::string& server) const {
        std::vector<StoreRequest> requests = Store().Requests();
        std::erase_if(requests, [&](const StoreRequest& r) { return r.server != server; });
        return requests;
    }

    std::u16string CdnUrl() const { return Utf8ToWide(Store().CdnUrl()); }

    static inline std::unique_ptr<TestStore> store_;
    static inline std::string storeError_;

    std::unique_ptr<TempHome> home_;
    fs::path dataFolder_;
    fs::path recordFolder_;
    std::unique_ptr<CallsManager> manager_;
    std::unique_ptr<LogCapture> log_;
};

TEST_F(ApiCallsTest, DetailsListInstallersInOrderAndFetchTheIconOnce) {
    Store().AddGame(R"({"name":"three-game","title":"Three & Co","files":[
        {"id":0,"path":"setup/a.bin","size":5000,"seed":"t0","chunk_size":2048},
        {"id":1,"path":"b.bin","size":10,"seed":"t1"},
        {"id":2,"path":"docs/c d.bin","size":0,"seed":"t2"}]})");

    for (int round = 0; round < 2; ++round) {
        DownloadInfo info(Wide(recordFolder_));
        std::u16string reply = u"untouched";
        ASSERT_TRUE(manager_->FetchGameDetails(u"three-game", reply, info)) << round;
        EXPECT_EQ(reply, u"untouched") << "a successful call leaves the reply text alone";
        EXPECT_EQ(info.name, u"three-game");
        EXPECT_EQ(info.title, u"Three & Co");
        EXPECT_EQ(info.icon, u".data//three-game.png") << round;
        ASSERT_EQ(info.files.size(), 3u);
        const std::u16string names[] = {u"setup/a.bin", u"b.bin", u"docs/c d.bin"};
        for (uint32_t i = 0; i < 3; ++i) {
            EXPECT_EQ(info.files[i].id, i);
            EXPECT_EQ(info.files[i].name, names[i]);
            EXPECT_TRUE(info.files[i].chunks.empty());
            EXPECT_EQ(info.files[i].size, 0u) << "sizes come from the chunk indexes";
        }
    }
    const fs::path icon = dataFolder_ / ".data/three-game.png";
    ASSERT_TRUE(fs::is_regular_file(icon));
    EXPECT_EQ(ReadFile(icon).substr(1, 3), "PNG");
    const std::vector<StoreRequest> cdn = Requests("cdn");
    ASSERT_EQ(cdn.size(), 1u) << "the icon is fetched once, then found on disk";
    EXPECT_EQ(cdn[0].path, "/icons/three-game.png");
    const std::vector<StoreRequest> api = Requests("api");
    ASSERT_EQ(api.size(), 2u);
    EXPECT_EQ(api[0].path, "/en/downloader/gameDetails/three-game");
    EXPECT_TRUE(api[0].signatureValid);
    Store().RemoveGame("three-game");
}

TEST_F(ApiCallsTest, DetailsWithoutInstallersAndIdsReadLikeNumbers) {
    const std::string icon = "<icon>" + Store().CdnUrl() + "/nothing-here.png</icon>";
    ServeOnApi(kDetailsPrefix, "<game><title>Empty</title>" + icon + "<installers/></game>");
    DownloadInfo empty;
    std::u16string reply;
    ASSERT_TRUE(manager_->FetchGameDetails(u"empty-game", reply, empty));
    EXPECT_TRUE(empty.files.empty());
    EXPECT_EQ(empty.title, u"Empty");
    EXPECT_EQ(empty.name, u"empty-game");
    // The icon could not be fetched: the call still succeeds, the icon stays as it was and no
    // half-made file is left to be taken for the icon later.
    EXPECT_TRUE(empty.icon.empty());
    EXPECT_FALSE(fs::exists(dataFolder_ / ".data/nothing-here.png"));

    // Signed 64-bit decimal, leading blanks and sign taken, junk after the digits ignored, the
    // low 32 bits kept (2^32 reads as 0); elements of any name count, text between them not.
    Store().ClearFaults();
    ServeOnApi(kDetailsPrefix, "<game><title>T</title>" + icon +
                                   "<installers><file id=\"4294967296\" path=\"a\"/>junk"
                                   "<installer id=\" +1xyz\" path=\"b\"/>"
                                   "<x id=\"2\" path=\"c\"></x></installers></game>");
    DownloadInfo info;
    ASSERT_TRUE(manager_->FetchGameDetails(u"ids", reply, info));
    ASSERT_EQ(info.files.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(info.files[i].id, i);
    }
    EXPECT_EQ(info.files[2].name, u"c");
}

TEST_F(ApiCallsTest, DetailsReplyTextRules) {
    // A failed request hands the server's body back.
    DownloadInfo info;
    std::u16string reply = u"old";
    EXPECT_FALSE(manager_->FetchGameDetails(u"no-such-game", reply, info));
    EXPECT_EQ(reply, u"404 Not Found: no game no-such-game\n");

    // The store's refusal of a game the account does not own, and its message.
    reply = u"old";
    EXPECT_FALSE(manager_->FetchGameDetails(u"not-owned-game", reply, info));
    EXPECT_EQ(ForbiddenMessage(reply), u"You do not own this game");

    // Shutting down: no request, and the reply text emptied.
    Store().ClearRequests();
    manager_->BeginTerminating();
    reply = u"old";
    EXPECT_FALSE(manager_->FetchGameDetails(u"demo-game", reply, info));
    EXPECT_TRUE(reply.empty());
    std::u16string link = u"kept";
    reply = u"old";
    EXPECT_FALSE(manager_->FetchFileLink(link, reply, u"demo-game", 0));
    EXPECT_TRUE(reply.empty());
    reply = u"old";
    EXPECT_FALSE(manager_->FetchChunkIndexLink(link, reply, u"demo-game", 0));
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(link, u"kept");
    EXPECT_TRUE(Store().Requests().empty());
    EXPECT_TRUE(info.files.empty());
    EXPECT_TRUE(info.title.empty());
}

TEST_F(ApiCallsTest, MalformedOrIncompleteDetailsFail) {
    const std::string icon = "<icon>" + Store().CdnUrl() + "/icons/demo-game.png</icon>";
    std::string nested;
    for (int i = 0; i < 100000; ++i) {
        nested += "<a>";
    }
    struct Case {
        std::string body;
        std::u16string logged;  // part of the Error line
    };
    const Case cases[] = {
        {"", u"No <game> component"},
        {"<game><title>T</title>", u"not well-formed"},
        {"<game><title a=b>T</title></game>", u"not well-formed"},
        {"<html><body>Moved</body></html>", u"No <game> component"},
        {"<Game><title>T</title>" + icon + "<installers/></Game>", u"No <game> component"},
        {"<game>" + icon + "<installers/></game>", u"No <title> component"},
        {"<game><title>T</title><installers/></game>", u"No <icon> component"},
        {"<game><title>T</title>" + icon + "</game>", u"No <installers> component"},
        {"<game><title>T</title>" + icon + "<installers><i path=\"a\"/></installers></game>",
         u"Installer 0 has no id"},
        {"<game><title>T</title>" + icon + "<installers><i id=\"0\"/></installers></game>",
         u"Installer 0 has no path"},
        // Ids are positions in the record throughout; one that is not would index past it.
        {"<game><title>T</title>" + icon +
             "<installers><i id=\"0\" path=\"a\"/><i id=\"7\" path=\"b\"/></installers></game>",
         u"Installer 1 has the id 7"},
        {nested, u"not well-formed"},
    };
    for (const Case& c : cases) {
        Store().ClearFaults();
        ServeOnApi(kDetailsPrefix, c.body);
        DownloadInfo info;
        std::u16string reply = u"old";
        const size_t before = log_->Messages(LogCapture::Level::Error).size();
        EXPECT_FALSE(manager_->FetchGameDetails(u"demo-game", reply, info)) << c.body.substr(0, 80);
        EXPECT_EQ(reply, u"old") << "a successful request leaves the reply text alone";
        EXPECT_TRUE(info.files.empty());
        const std::vector<std::u16string> errors = log_->Messages(LogCapture::Level::Error);
        ASSERT_EQ(errors.size(), before + 1) << c.body.substr(0, 80);
        EXPECT_NE(errors.back().find(c.logged), std::u16string::npos) << Utf8(errors.back());
    }
    EXPECT_TRUE(Requests("cdn").empty()) << "no icon is fetched for a refused reply";
}

TEST_F(ApiCallsTest, HostileNamesNeverLeaveTheDataFolder) {
    // Would be the fetched icon's content, at a place outside the data folder.
    Store().PutResource("/evil/x.png", "not an icon");
    const std::string cdn = Store().CdnUrl();
    const std::string goodIcon = "<icon>" + cdn + "/icons/demo-game.png</icon>";
    const std::vector<std::string> paths = {"../../x",
                                            "/tmp/velk-api-calls-abs",
                                            "a/../../x",
                                            "",
                                            "a&#0;/../../../x",
                                            "..\\..\\x",
                                            "a//b",
                                            "./a",
                                            "a/",
                                            "line&#10;break"};
    const std::vector<std::string> icons = {
        cdn + "/evil/..",
        cdn + "/evil/",
        cdn + "/evil/x.png&#0;/../../x.png",
        cdn + "/evil/..\\..\\x.png",
        "no-slash-at-all",
        cdn + "/evil/.",
    };
    const std::map<std::string, uintmax_t> before = Tree(home_->Root());
    // An installer path that would leave the folder refuses the whole reply.
    for (const std::string& path : paths) {
        const std::string body = "<game><title>T</title>" + goodIcon +
                                 "<installers><i id=\"0\" path=\"" + path +
                                 "\"/></installers></game>";
        Store().ClearFaults();
        ServeOnApi(kDetailsPrefix, body);
        DownloadInfo info(Wide(recordFolder_));
        std::u16string reply;
        const size_t errors = log_->Messages(LogCapture::Level::Error).size();
        EXPECT_FALSE(manager_->FetchGameDetails(u"demo-game", reply, info)) << body;
        EXPECT_EQ(log_->Messages(LogCapture::Level::Error).size(), errors + 1) << body;
        EXPECT_TRUE(info.icon.empty());
        EXPECT_TRUE(info.files.empty());
    }
    // An icon without a name that can be stored is only a picture the game goes without: the
    // details are taken, nothing is fetched for it and a Warning says why.
    for (const std::string& icon : icons) {
        const std::string body = "<game><title>T</title><icon>" + icon +
                                 "</icon><installers><i id=\"0\" path=\"a.bin\"/></installers>"
                                 "</game>";
        Store().ClearFaults();
        ServeOnApi(kDetailsPrefix, body);
        DownloadInfo info(Wide(recordFolder_));
        std::u16string reply;
        const size_t errors = log_->Messages(LogCapture::Level::Error).size();
        const size_t warnings = log_->Warnings().size();
        ASSERT_TRUE(manager_->FetchGameDetails(u"demo-game", reply, info)) << body;
        EXPECT_EQ(log_->Messages(LogCapture::Level::Error).size(), errors) << body;
        ASSERT_EQ(log_->Warnings().size(), warnings + 1) << body;
        EXPECT_NE(log_->Warnings().back().find(u"the game goes on without it"),
                  std::u16string::npos)
            << Utf8(log_->Warnings().back());
        EXPECT_TRUE(info.icon.empty());
        EXPECT_EQ(info.title, u"T");
        ASSERT_EQ(info.files.size(), 1u);
        EXPECT_EQ(info.files[0].name, u"a.bin");
    }
    EXPECT_TRUE(Requests("cdn").empty());

    // A chunk index is never fetched for a name that leaves its folder, whatever the link.
    const std::u16string link = CdnUrl() + u"/evil/x.png";
    for (const std::u16string name :
         {u"../../x", u"/tmp/velk-api-calls-abs", u"a/../../x", u"", u"a\\..\\..\\x"}) {
        FileInfo file;
        file.name = name;
        EXPECT_FALSE(manager_->DownloadChunkIndex(link, file, Wide(recordFolder_)));
    }
    EXPECT_TRUE(Requests("cdn").empty());
    EXPECT_EQ(Tree(home_->Root()), before);
    EXPECT_FALSE(fs::exists("/tmp/velk-api-calls-abs.crc"));
}

TEST_F(ApiCallsTest, IconsOnlyFromTheWebAndOnlyWhole) {
    DownloadInfo info;
    std::u16string reply;
    // Another scheme is not fetched: the call succeeds without an icon.
    for (const std::string icon : {"file:///etc/hostname", "ftp://127.0.0.1/x.png"}) {
        Store().ClearFaults();
        ServeOnApi(kDetailsPrefix,
                   "<game><title>T</title><icon>" + icon + "</icon><installers/></game>");
        ASSERT_TRUE(manager_->FetchGameDetails(u"demo-game", reply, info)) << icon;
        EXPECT_TRUE(info.icon.empty()) << icon;
    }
    EXPECT_FALSE(fs::exists(dataFolder_ / ".data/hostname"));
    EXPECT_FALSE(fs::exists(dataFolder_ / ".data/x.png"));

    // An icon cut short is not kept (it would be taken for the icon from then on); the next
    // call fetches it again. Line breaks around the address are not part of it.
    Store().ClearFaults();
    ServeOnApi(kDetailsPrefix, "<game><title>T</title><icon>\n  " + Store().CdnUrl() +
                                   "/icons/demo-game.png\n</icon><installers/></game>");
    Store().SetFault(R"({"server":"cdn","path":"/icons/demo-game.png","cut_after":10})");
    ASSERT_TRUE(manager_->FetchGameDetails(u"demo-game", reply, info));
    EXPECT_TRUE(info.icon.empty());
    EXPECT_FALSE(fs::exists(dataFolder_ / ".data/demo-game.png"));
    ASSERT_TRUE(manager_->FetchGameDetails(u"demo-game", reply, info));
    EXPECT_EQ(info.icon, u".data//demo-game.png");
    EXPECT_EQ(Requests("cdn").size(), 2u);
}

TEST_F(ApiCallsTest, WholeFilesAreCappedBeforeTheirBodyIsWritten) {
    DownloadInfo info;
    std::u16string reply;
    // An "icon" of 3 MiB (generated by the store, so nothing that large is sent up front).
    Store().PutGeneratedResource("/icons/huge.png", "huge", 3u << 20);
    ServeOnApi(kDetailsPrefix, "<game><title>T</title><icon>" + Store().CdnUrl() +
                                   "/icons/huge.png</icon><installers/></game>");
    ASSERT_TRUE(manager_->FetchGameDetails(u"demo-game", reply, info));
    EXPECT_TRUE(info.icon.empty());
    EXPECT_FALSE(fs::exists(dataFolder_ / ".data/huge.png"));
    ASSERT_FALSE(log_->Warnings().empty());
    EXPECT_NE(log_->Warnings().back().find(u"is larger than 1048576 bytes"), std::u16string::npos)
        << Utf8(log_->Warnings().back());

    // A chunk index the server announces past the cap is refused with the reader's own line.
    Store().PutGeneratedResource("/idx/huge.crc", "huge", (16u << 20) + 1);
    FileInfo file;
    file.name = u"huge.bin";
    EXPECT_FALSE(
        manager_->DownloadChunkIndex(CdnUrl() + u"/idx/huge.crc", file, Wide(recordFolder_)));
    EXPECT_FALSE(fs::exists(dataFolder_ / "huge.bin.crc"));
    EXPECT_EQ(Utf8(log_->Warnings().back()),
              "Xml file 'huge.bin.crc' is larger than 16777216 bytes. New xml will be downloaded.");
}

// A server that trickles its answers holds no call once the manager is told to stop: each
// returns within about a second instead of after the minutes the answer would take.
TEST_F(ApiCallsTest, StoppingEndsRequestsAndFetchesInFlight) {
    Store().PutGeneratedResource("/idx/slow.crc", "slow", 100000);
    Store().PutGeneratedResource("/icons/slow.png", "slow", 100000);
    const auto trickle = [](const std::string& where) {
        Store().SetFault("{" + where + R"(,"rate":3})");
    };
    const struct {
        const char* title;
        std::function<void()> arm;
        std::function<bool(ConnectionsManager&)> call;
    } cases[] = {
        {"an API request",
         [&] { trickle(R"("server":"api","path_prefix":"/en/downloader/gameDetails/")"); },
         [](ConnectionsManager& manager) {
             DownloadInfo info;
             std::u16string reply;
             return manager.FetchGameDetails(u"demo-game", reply, info);
         }},
        {"a chunk index", [&] { trickle(R"("server":"cdn","path":"/idx/slow.crc")"); },
         [this](ConnectionsManager& manager) {
             FileInfo file;
             file.name = u"slow.bin";
             return manager.DownloadChunkIndex(CdnUrl() + u"/idx/slow.crc", file,
                                               Wide(recordFolder_));
         }},
        {"an icon",
         [&] {
             ServeOnApi(kDetailsPrefix, "<game><title>T</title><icon>" + Store().CdnUrl() +
                                            "/icons/slow.png</icon><installers/></game>");
             trickle(R"("server":"cdn","path":"/icons/slow.png")");
         },
         [](ConnectionsManager& manager) {
             DownloadInfo info;
             std::u16string reply;
             manager.FetchGameDetails(u"demo-game", reply, info);
             return !info.icon.empty();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        Store().ClearFaults();
        c.arm();
        auto manager = std::make_unique<CallsManager>();
        ASSERT_TRUE(manager->Connect());
        manager->SetToken(u"calls-token", u"calls-secret");
        manager->SetDataFolder(Wide(dataFolder_));
        std::atomic<bool> returned{false};
        bool result = true;
        std::thread caller([&] {
            result = c.call(*manager);
            returned = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_FALSE(returned.load()) << "the trickled answer should still be on its way";
        const auto stopped = std::chrono::steady_clock::now();
        manager->Stop();
        caller.join();
        const auto took = std::chrono::steady_clock::now() - stopped;
        EXPECT_FALSE(result);
        EXPECT_LT(took, std::chrono::seconds(3));
        std::printf("[stop] %s ended %lld ms after the stop\n", c.title,
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    }
    EXPECT_FALSE(fs::exists(dataFolder_ / "slow.bin.crc"));
}

TEST_F(ApiCallsTest, LinkPathsAndLinks) {
    std::u16string link;
    std::u16string reply = u"untouched";
    ASSERT_TRUE(manager_->FetchFileLink(link, reply, u"demo-game", 0));
    EXPECT_EQ(link, CdnUrl() + u"/secure/demo-game/setup/demo.bin");
    ASSERT_TRUE(manager_->FetchChunkIndexLink(link, reply, u"demo-game", 1));
    EXPECT_EQ(link, CdnUrl() + u"/secure/demo-game/demo-data.bin.crc");
    EXPECT_EQ(reply, u"untouched");

    ServeOnApi(kLinkPrefix, "<file><cdn_link>https://cdn.example/f</cdn_link></file>");
    Store().ClearRequests();
    ASSERT_TRUE(manager_->FetchFileLink(link, reply, u"demo-game", 0));
    EXPECT_EQ(link, u"https://cdn.example/f");
    ASSERT_TRUE(manager_->FetchFileLink(link, reply, u"demo-game", -5));
    ASSERT_TRUE(manager_->FetchChunkIndexLink(link, reply, u"demo-game", 12));
    ASSERT_TRUE(manager_->FetchChunkIndexLink(link, reply, u"demo-game", 4294967295u));
    const std::vector<StoreRequest> api = Requests("api");
    ASSERT_EQ(api.size(), 4u);
    EXPECT_EQ(api[0].path, "/en/downloader/fileLink/demo-game/installer/0");
    EXPECT_EQ(api[1].path, "/en/downloader/fileLink/demo-game/installer/-5");
    EXPECT_EQ(api[2].path, "/en/downloader/fileLink/demo-game/installer/12/crc");
    EXPECT_EQ(api[3].path, "/en/downloader/fileLink/demo-game/installer/4294967295/crc");
    for (const StoreRequest& request : api) {
        EXPECT_TRUE(request.signatureValid) << request.path;
    }
}

TEST_F(ApiCallsTest, InvalidLinkRepliesLogTheirErrorLines) {
    struct Case {
        std::string body;
        bool crc;
        std::u16string error;
    };
    const Case cases[] = {
        {"<other/>", false,
         u"Response for file (7) request for game (demo-game) is invalid. No <file> component."},
        {"<file><link>x</link></file>", false,
         u"Response for file (7) request for game (demo-game) is invalid. No <cdn_link> "
         u"component."},
        {"<other/>", true,
         u"Response for file (7) xml request for game (demo-game) is invalid. No <file> "
         u"component."},
        {"<file/>", true,
         u"Response for file (7) xml request for game (demo-game) is invalid. No <cdn_link> "
         u"component."},
        {"not xml <", true,
         u"Response for file (7) xml request for game (demo-game) is invalid. No <file> "
         u"component."},
    };
    for (const Case& c : cases) {
        Store().ClearFaults();
        ServeOnApi(kLinkPrefix, c.body);
        std::u16string link = u"kept";
        std::u16string reply = u"untouched";
        const bool ok = c.crc ? manager_->FetchChunkIndexLink(link, reply, u"demo-game", 7)
                              : manager_->FetchFileLink(link, reply, u"demo-game", 7);
        EXPECT_FALSE(ok) << c.body;
        EXPECT_EQ(link, u"kept");
        EXPECT_EQ(reply, u"untouched");
        const std::vector<std::u16string> errors = log_->Messages(LogCapture::Level::Error);
        ASSERT_FALSE(errors.empty());
        EXPECT_EQ(errors.back(), c.error);
    }
    // A failed request hands the body back.
    Store().ClearFaults();
    std::u16string link;
    std::u16string reply;
    EXPECT_FALSE(manager_->FetchFileLink(link, reply, u"demo-game", 999));
    EXPECT_EQ(reply, u"404 Not Found: no file 999\n");
}

TEST_F(ApiCallsTest, GameNamesArePercentEncodedWhereNeeded) {
    struct Case {
        std::u16string name;
        std::string sent;
    };
    const Case cases[] = {
        {u"demo-game", "demo-game"},
        {u"Game_1.5~x", "Game_1.5~x"},
        {u"a:b@c!$&'()*+,;=", "a:b@c!$&'()*+,;="},
        {u"a b/c?d#e%f", "a%20b%2Fc%3Fd%23e%25f"},
        {u"Sp\u00e4ce \u00fc", "Sp%C3%A4ce%20%C3%BC"},
        {u"..", "%2E%2E"},
        {u".", "%2E"},
        {u"a\"<>\\^`{|}", "a%22%3C%3E%5C%5E%60%7B%7C%7D"},
        {std::u16string(u"a\0b", 3), "a%00b"},
    };
    ServeOnApi("/en/", "<other/>");
    for (const Case& c : cases) {
        Store().ClearRequests();
        DownloadInfo info;
        std::u16string reply;
        std::u16string link;
        manager_->FetchGameDetails(c.name, reply, info);
        manager_->FetchFileLink(link, reply, c.name, 3);
        const std::vector<StoreRequest> api = Requests("api");
        ASSERT_EQ(api.size(), 2u) << c.sent;
        EXPECT_EQ(api[0].path, kDetailsPrefix + c.sent);
        EXPECT_EQ(api[1].path, kLinkPrefix + c.sent + "/installer/3");
        EXPECT_TRUE(api[0].signatureValid) << c.sent;
        EXPECT_TRUE(api[1].signatureValid) << c.sent;
    }

    // The store decodes the name once and finds the game.
    Store().ClearFaults();
    Store().AddGame(R"({"name":"Space & Time? #1 100% \u00fc","files":[
        {"id":0,"path":"s.bin","size":10,"seed":"s"}]})");
    DownloadInfo info;
    std::u16string reply;
    ASSERT_TRUE(manager_->FetchGameDetails(u"Space & Time? #1 100% \u00fc", reply, info))
        << Utf8(reply);
    EXPECT_EQ(info.title, u"Space & Time? #1 100% \u00fc");
    ASSERT_EQ(info.files.size(), 1u);
    Store().RemoveGame("Space & Time? #1 100% \xc3\xbc");
}

TEST_F(ApiCallsTest, ChunkIndexIsStoredReadAndChecked) {
    Store().AddGame(R"({"name":"index-game","files":[
        {"id":0,"path":"setup/game.bin","size":100000,"seed":"ig","chunk_size":32768,
         "timestamp":"42"}]})");
    std::u16string link;
    std::u16string reply;
    ASSERT_TRUE(manager_->FetchChunkIndexLink(link, reply, u"index-game", 0));

    // An older, longer index is replaced, not appended to.
    const fs::path stored = dataFolder_ / "setup/game.bin.crc";
    WriteFile(stored, std::string(300000, 'x'));
    for (int round = 0; round < 2; ++round) {
        FileInfo file;
        file.name = u"setup/game.bin";
        ASSERT_TRUE(manager_->DownloadChunkIndex(link, file, Wide(recordFolder_))) << round;
        EXPECT_EQ(file.size, 100000u);
        EXPECT_EQ(file.timestamp, u"42");
        EXPECT_EQ(Utf8(file.md5), Store().ExpectedFileMd5("index-game", 0));
        ASSERT_EQ(file.chunks.size(), 4u);
        EXPECT_EQ(file.chunks[3].from, 98304u);
        EXPECT_EQ(file.chunks[3].to, 99999u);
        EXPECT_EQ(Utf8(file.chunks[1].md5), Store().ExpectedChunkMd5("index-game", 0, 1));
    }
    ASSERT_TRUE(fs::is_regular_file(stored));
    EXPECT_LT(fs::file_size(stored), 300000u);
    EXPECT_TRUE(ReadFile(stored).starts_with("<?xml"));
    Store().RemoveGame("index-game");

    // Indexes whose plan does not add up are refused and deleted; the file stays untouched.
    struct Case {
        std::string xml;
        std::u16string reason;
    };
    const Case cases[] = {
        {IndexXml(200, {{0, 0, 99}, {1, 110, 199}}), u"rejected"},   // a gap
        {IndexXml(200, {{0, 0, 149}, {1, 100, 199}}), u"rejected"},  // an overlap
        {IndexXml(200, {{1, 0, 99}, {0, 100, 199}}), u"rejected"},   // ids out of order
        {IndexXml(300, {{0, 0, 99}, {1, 100, 199}}), u"rejected"},   // short of the size
        {"<file total_size=\"5\">broken", u"corrupted"},             // not XML
        // The store never sends a DTD: one is refused before its entities could matter.
        {"<!DOCTYPE file [<!ENTITY e \"&#x26;e;&#x26;e;\">]><file total_size=\"5\">&e;</file>",
         u"corrupted"},
        // A page that describes no file at all.
        {"<html><body>Moved</body></html>", u"no usable file description"},
    };
    for (const Case& c : cases) {
        Store().PutResource("/idx/bad.crc", c.xml);
        FileInfo file;
        file.name = u"bad.bin";
        file.timestamp = u"old";
        const size_t warnings = log_->Warnings().size();
        EXPECT_FALSE(
            manager_->DownloadChunkIndex(CdnUrl() + u"/idx/bad.crc", file, Wide(recordFolder_)))
            << c.xml;
        EXPECT_TRUE(file.chunks.empty());
        EXPECT_EQ(file.timestamp, u"old");
        EXPECT_EQ(file.size, 0u);
        EXPECT_FALSE(fs::exists(dataFolder_ / "bad.bin.crc")) << c.xml;
        ASSERT_GT(log_->Warnings().size(), warnings);
        EXPECT_NE(log_->Warnings().back().find(c.reason), std::u16string::npos)
            << Utf8(log_->Warnings().back());
    }

    // An empty file's index lists no chunk, or one of no bytes from 0 to -1: either reads as a
    // file of no chunk, whose own digest (of no bytes) is checked when it is made.
    const std::string emptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";
    for (const std::string& chunks :
         {std::string(),
          "<chunk id=\"0\" from=\"0\" to=\"-1\" method=\"md5\">" + emptyMd5 + "</chunk>"}) {
        Store().PutResource("/idx/empty.crc",
                            "<file available=\"1\" timestamp=\"7\" total_size=\"0\" md5=\"" +
                                emptyMd5 + "\">" + chunks + "</file>");
        FileInfo file;
        file.name = u"empty.bin";
        ASSERT_TRUE(
            manager_->DownloadChunkIndex(CdnUrl() + u"/idx/empty.crc", file, Wide(recordFolder_)))
            << chunks;
        EXPECT_EQ(file.size, 0u);
        EXPECT_TRUE(file.chunks.empty());
        EXPECT_TRUE(file.available);
        EXPECT_EQ(file.md5, Wide(emptyMd5));
    }

    // An index that breaks off early, or is not there, is no index.
    Store().PutResource("/idx/good.crc", IndexXml(200, {{0, 0, 99}, {1, 100, 199}}));
    Store().SetFault(R"({"server":"cdn","path":"/idx/good.crc","cut_after":40})");
    FileInfo file;
    file.name = u"good.bin";
    EXPECT_FALSE(
        manager_->DownloadChunkIndex(CdnUrl() + u"/idx/good.crc", file, Wide(recordFolder_)));
    EXPECT_FALSE(fs::exists(dataFolder_ / "good.bin.crc"));
    EXPECT_FALSE(
        manager_->DownloadChunkIndex(CdnUrl() + u"/idx/none.crc", file, Wide(recordFolder_)));
    EXPECT_TRUE(file.chunks.empty());
    ASSERT_TRUE(
        manager_->DownloadChunkIndex(CdnUrl() + u"/idx/good.crc", file, Wide(recordFolder_)));
    EXPECT_EQ(file.chunks.size(), 2u);
}

TEST(ForbiddenMessageTest, TakesTheReasonOfThe403Page) {
    struct Case {
        std::u16string reply;
        std::optional<std::u16string> message;
    };
    const Case cases[] = {
        {u"<h1>403 Forbidden</h1><h3>you do not own this game</h3>", u"You do not own this game"},
        {u"<html><body><h1>403 Forbidden</h1>\r\n<h3>  not yet <b>released</b></h3>\n"
         u"</body></html>",
         u"<html><body>\r\n  not yet <b>released</b>\n</body></html>"},
        {u"\n <h1>403 Forbidden</h1> <h3> \u00e9t\u00e9 </h3>\t", u"\u00c9t\u00e9"},
        {u"<h1>403 Forbidden</h1><h3></h3>  ", u""},
        {u"<h1>403 Forbidden</h1><h1>403 Forbidden</h1>x", u"X"},
        {u"<h3>you do not own this game</h3>", std::nullopt},
        {u"<h1>404 Not Found</h1>", std::nullopt},
        {u"<H1>403 Forbidden</H1><h3>x</h3>", std::nullopt},
        {u"", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ForbiddenMessage(c.reply), c.message) << Utf8(c.reply);
    }
}

}  // namespace
