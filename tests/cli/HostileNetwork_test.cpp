// Hostile answers from the network, to velkdownloader-cli run as its own process against the
// local test store: game details whose installer, icon or avatar names try to leave their folders,
// chunk indexes that lie about the file, and transfers that break HTTP in every way the store can
// be made to. Files planted at the names the program writes (links out of the folder, a FIFO)
// belong here too. Each case either recovers and completes the game with every byte right, or
// ends the game clearly; either way nothing outside the game's folder and the program's own
// folders changes, the user's files stay as they were, and every stored record reads whole.
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Registry.h"
#include "support/CliProcess.h"
#include "support/DemoRun.h"
#include "support/FaultChecks.h"
#include "support/FileFixtures.h"
#include "support/HostileXml.h"
#include "support/TempHome.h"
#include "support/TestStore.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kChunk = 65536;
constexpr uint64_t kSize = 3 * kChunk + 100;
constexpr char kGame[] = "hostile-game";
constexpr char kFile[] = "hostile-game/setup.bin";
constexpr int kExitFailed = 1;

// A JSON string literal of `text` (quotes included).
std::string Json(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// What the test store is made to answer, and where.
struct Answer {
    const char* server;    // "api" or "cdn"
    std::string path;      // the request's path, without its query
    std::string switches;  // more fault fields, e.g. R"("status":416)"; may be empty
    int times = -1;        // how many requests get it; -1: every one
};

enum class Outcome {
    kCompletes,  // the program gets past it and the game completes with every byte right
    kFails,      // the game ends failed; nothing of it is finished
};

struct HostileCase {
    const char* label;
    std::function<std::vector<Answer>(const TestStore&)> answers;
    Outcome outcome;
    const char* expected;  // in the run's output (echoed log and terminal lines)
    // Planted in the game's folder before the run, beside the user's own file.
    std::function<void(const fs::path& gameFolder, const fs::path& outside)> plant = {};
};

void PrintTo(const HostileCase& c, std::ostream* out) {
    *out << c.label;
}

// The game's details with this installer path and icon address.
std::string DetailsXml(const std::string& installerPath, const std::string& icon) {
    return R"(<?xml version="1.0" encoding="UTF-8"?>)"
           "\n<game><title>Hostile game</title><icon>" +
           icon + R"(</icon><installers><installer id="0" path=")" + installerPath +
           R"("/></installers></game>)" + "\n";
}

Answer Details(const std::string& installerPath, const std::string& icon = "") {
    return {"api", std::string("/en/downloader/gameDetails/") + kGame,
            R"("body":)" + Json(DetailsXml(installerPath, icon))};
}

Answer UserWithAvatar(const TestStore& store, const std::string& name) {
    return {"api", "/en/downloader/userDetails/",
            R"("body":)" +
                Json(R"(<?xml version="1.0" encoding="UTF-8"?>)"
                     "\n<user><xywka>Demo Player</xywka><email>demo@velkora.test</email><avatar>"
                     "<small>" +
                     store.CdnUrl() + "/avatars/" + name + "</small><big>" + store.CdnUrl() +
                     "/avatars/" + name + "</big></avatar></user>\n"),
            -1};
}

// The chunk index of the game's file replaced by `xml`.
Answer Index(const std::string& xml) {
    return {"cdn", std::string("/secure/") + kGame + "/" + kFile + ".crc", R"("body":)" + Json(xml),
            -1};
}

// The API's link to the chunk index of the game's file, naming the content server at `base`.
Answer IndexLink(const std::string& base) {
    return {"api", std::string("/en/downloader/fileLink/") + kGame + "/installer/0/crc",
            R"("body":)" + Json("<file><cdn_link>" + base + "/secure/" + kGame + "/" + kFile +
                                ".crc</cdn_link></file>")};
}

std::string Chunk(int id, int64_t from, const std::string& to, const std::string& md5) {
    return "<chunk id=\"" + std::to_string(id) + "\" from=\"" + std::to_string(from) + "\" to=\"" +
           to + "\" method=\"md5\">" + md5 + "</chunk>";
}

std::string IndexXml(const std::string& attributes, const std::string& chunks) {
    return std::string(R"(<?xml version="1.0" encoding="UTF-8"?>)") +
           "\n<file name=\"setup.bin\" " + attributes + ">" + chunks + "</file>\n";
}

// The transfers of the game's file (not its index).
Answer Transfer(const std::string& switches, int times = 1) {
    return {"cdn", std::string("/secure/") + kGame + "/" + kFile, switches, times};
}

const std::string kMd5 = "0123456789abcdef0123456789abcdef";

const HostileCase kCases[] = {
    // Names in the game's details.
    {"InstallerPathUp", [](const TestStore&) { return std::vector{Details("../x.bin")}; },
     Outcome::kFails, "Cannot fetch game details"},
    {"InstallerPathAbsolute", [](const TestStore&) { return std::vector{Details("/tmp/x.bin")}; },
     Outcome::kFails, "Cannot fetch game details"},
    {"InstallerPathUpThroughAFolder",
     [](const TestStore&) { return std::vector{Details("a/../../x.bin")}; }, Outcome::kFails,
     "Cannot fetch game details"},
    {"InstallerPathWithBackslashes",
     [](const TestStore&) { return std::vector{Details("a\\..\\x.bin")}; }, Outcome::kFails,
     "Cannot fetch game details"},
    {"InstallerPathDot", [](const TestStore&) { return std::vector{Details(".")}; },
     Outcome::kFails, "Cannot fetch game details"},
    {"InstallerPathDotDot", [](const TestStore&) { return std::vector{Details("..")}; },
     Outcome::kFails, "Cannot fetch game details"},
    {"InstallerPathEmpty", [](const TestStore&) { return std::vector{Details("")}; },
     Outcome::kFails, "Cannot fetch game details"},
    {"InstallerPathOfAFolder", [](const TestStore&) { return std::vector{Details("dir/")}; },
     Outcome::kFails, "Cannot fetch game details"},
    {"InstallerPathWithAControlCharacter",
     [](const TestStore&) { return std::vector{Details("a&#10;b.bin")}; }, Outcome::kFails,
     "Cannot fetch game details"},
    {"InstallerPathVeryLong",
     [](const TestStore&) { return std::vector{Details(std::string(5000, 'a'))}; }, Outcome::kFails,
     "Cannot fetch game details"},
    // An icon that can't be named is left out: the game goes on without it.
    {"IconNameUp",
     [](const TestStore& store) {
         return std::vector{Details(kFile, store.CdnUrl() + "/icons/..")};
     },
     Outcome::kCompletes, "completed and verified"},
    {"IconNameEmpty",
     [](const TestStore& store) { return std::vector{Details(kFile, store.CdnUrl() + "/icons/")}; },
     Outcome::kCompletes, "completed and verified"},
    {"IconNotFound",
     [](const TestStore& store) {
         return std::vector{Details(kFile, store.CdnUrl() + "/icons/missing.png")};
     },
     Outcome::kCompletes, "completed and verified"},
    {"AvatarNameUp",
     [](const TestStore& store) { return std::vector{UserWithAvatar(store, "..")}; },
     Outcome::kCompletes, "completed and verified"},
    {"DetailsWithAnExternalEntity",
     [](const TestStore&) {
         return std::vector{Answer{
             "api", std::string("/en/downloader/gameDetails/") + kGame,
             R"("body":)" +
                 Json(
                     R"(<?xml version="1.0"?><!DOCTYPE game [<!ENTITY x SYSTEM "file:///etc/passwd">]>)"
                     R"(<game><title>&x;</title><installers><installer id="0" path="hostile-game/setup.bin"/></installers></game>)")}};
     },
     Outcome::kFails, "Cannot fetch game details"},
    {"DetailsNestedVeryDeep",
     [](const TestStore&) {
         std::string deep;
         for (int i = 0; i < 100000; ++i) {
             deep += "<a>";
         }
         return std::vector{Answer{"api", std::string("/en/downloader/gameDetails/") + kGame,
                                   R"("body":)" + Json("<game>" + deep + "</game>")}};
     },
     Outcome::kFails, "Cannot fetch game details"},
    {"DetailsHideNestingInADoctype",
     [](const TestStore&) {
         return std::vector{Answer{"api", std::string("/en/downloader/gameDetails/") + kGame,
                                   R"("body":)" + Json("<game>" + NestingHiddenInADoctype())}};
     },
     Outcome::kFails, "Cannot fetch game details"},
    {"DetailsFarTooLong",
     [](const TestStore&) {
         return std::vector{
             Answer{"api", std::string("/en/downloader/gameDetails/") + kGame,
                    R"("body":)" +
                        Json("<game><title>" + std::string(20 << 20, 't') + "</title></game>")}};
     },
     Outcome::kFails, "Cannot fetch game details"},

    // Chunk indexes.
    {"IndexNotWellFormed",
     [](const TestStore&) { return std::vector{Index("<file total_size=\"10\"><chunk")}; },
     Outcome::kFails, "Cannot fetch game details"},
    {"IndexHidesNestingInADoctype",
     [](const TestStore&) { return std::vector{Index("<file>" + NestingHiddenInADoctype())}; },
     Outcome::kFails, "Cannot fetch game details"},
    {"IndexWithEntities",
     [](const TestStore&) {
         return std::vector{Index(
             R"(<?xml version="1.0"?><!DOCTYPE file [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;"><!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;">]>)"
             R"(<file available="1" total_size="10" md5="&c;">)" +
             Chunk(0, 0, "9", kMd5) + "</file>")};
     },
     Outcome::kFails, "Cannot fetch game details"},
    {"IndexWithOverlappingChunks",
     [](const TestStore&) {
         return std::vector{
             Index(IndexXml(R"(available="1" total_size="196708" md5=")" + kMd5 + "\"",
                            Chunk(0, 0, "65535", kMd5) + Chunk(1, 65000, "131071", kMd5) +
                                Chunk(2, 131072, "196707", kMd5)))};
     },
     Outcome::kFails, "Cannot fetch game details"},
    {"IndexWithAGap",
     [](const TestStore&) {
         return std::vector{
             Index(IndexXml(R"(available="1" total_size="196708" md5=")" + kMd5 + "\"",
                            Chunk(0, 0, "65535", kMd5) + Chunk(1, 131072, "196707", kMd5)))};
     },
     Outcome::kFails, "Cannot fetch game details"},
    {"IndexWithNegativeValues",
     [](const TestStore&) {
         return std::vector{Index(IndexXml(R"(available="1" total_size="-5" md5=")" + kMd5 + "\"",
                                           Chunk(0, -100, "-1", kMd5)))};
     },
     Outcome::kFails, "Cannot fetch game details"},
    {"IndexWithAnEndPast64Bits",
     [](const TestStore&) {
         return std::vector{Index(
             IndexXml(R"(available="1" total_size="196708" md5=")" + kMd5 + "\"",
                      Chunk(0, 0, "65535", kMd5) + Chunk(1, 65536, "18446744073709551615", kMd5) +
                          Chunk(2, 0, "99999999999999999999999", kMd5)))};
     },
     Outcome::kFails, "Cannot fetch game details"},
    {"IndexWhoseTotalIsNotTheChunksSum",
     [](const TestStore&) {
         return std::vector{
             Index(IndexXml(R"(available="1" total_size="999999" md5=")" + kMd5 + "\"",
                            Chunk(0, 0, "65535", kMd5)))};
     },
     Outcome::kFails, "Cannot fetch game details"},
    {"IndexWithAnAbsurdSize",
     [](const TestStore&) {
         return std::vector{
             Index(IndexXml(R"(available="1" total_size="1152921504606846976" md5=")" + kMd5 + "\"",
                            Chunk(0, 0, "1152921504606846975", kMd5)))};
     },
     Outcome::kFails, "Not enough free disk space"},
    {"IndexFarTooLong",
     [](const TestStore&) {
         std::string chunks;
         for (int id = 0; chunks.size() < (17u << 20); ++id) {
             chunks += Chunk(id, id, std::to_string(id), kMd5);
         }
         return std::vector{Index(IndexXml(R"(available="1" total_size="300000")", chunks))};
     },
     Outcome::kFails, "Cannot fetch game details"},
    {"IndexWithAWrongFileDigest",
     [](const TestStore&) {
         return std::vector{Answer{"cdn", std::string("/secure/") + kGame + "/" + kFile + ".crc",
                                   R"("wrong_file_md5":true)"}};
     },
     Outcome::kFails, "There is a problem with this file"},
    {"IndexWithMalformedDigests",
     [](const TestStore&) {
         return std::vector{Index(IndexXml(R"(available="1" total_size="196708" md5="zz")",
                                           Chunk(0, 0, "196707", "../../etc")))};
     },
     Outcome::kFails, "Cannot fetch game details"},

    // The index carries every digest: it must come over TLS (file data, which it protects, may
    // come over plain HTTP; the engine's suites fetch it so).
    {"IndexLinkOverPlainHttp",
     [](const TestStore& store) { return std::vector{IndexLink(store.CdnHttpUrl())}; },
     Outcome::kFails, "is not an https address"},

    // Transfers: the program gets past each and completes.
    {"RangeAnsweredWithTheWholeFile",
     [](const TestStore&) { return std::vector{Transfer(R"("ignore_range":true)", 2)}; },
     Outcome::kCompletes, "completed and verified"},
    {"MismatchedContentRange",
     [](const TestStore&) { return std::vector{Transfer(R"("wrong_content_range":true)", 2)}; },
     Outcome::kCompletes, "completed and verified"},
    {"RangeNotSatisfiable",
     [](const TestStore&) { return std::vector{Transfer(R"("status":416)", 2)}; },
     Outcome::kCompletes, "completed and verified"},
    // A connection closed early is a network failure: the next attempt resumes after the bytes
    // that came.
    {"BodyShorterThanItsLength",
     [](const TestStore&) { return std::vector{Transfer(R"("cut_after":1000)", 2)}; },
     Outcome::kCompletes, "closed before the body's end"},
    {"BodyLongerThanItsLength",
     [](const TestStore&) { return std::vector{Transfer(R"("extra_bytes":5000)", 2)}; },
     Outcome::kCompletes, "completed and verified"},
    {"BrokenChunkedEncoding",
     [](const TestStore&) { return std::vector{Transfer(R"("broken_chunked":true)", 2)}; },
     Outcome::kCompletes, "completed and verified"},
    {"BusyServerSaysWhenToComeBack",
     [](const TestStore&) { return std::vector{Transfer(R"("status":503,"retry_after":1)", 2)}; },
     Outcome::kCompletes, "the server is busy (status 503). Will retry in"},
    // Answers that asking again will not change end the game after a few fresh links, instead
    // of retrying for ever with nothing shown.
    {"RangeAnsweredWithTheWholeFileEveryTime",
     [](const TestStore&) { return std::vector{Transfer(R"("ignore_range":true)", -1)}; },
     Outcome::kFails, "(not the bytes asked for) 5 times. Permanent failure."},
    {"LinkAlwaysForbidden",
     [](const TestStore&) { return std::vector{Transfer(R"("status":403)", -1)}; }, Outcome::kFails,
     "(status 403) 5 times. Permanent failure."},
    {"HeadersThenNothing",
     [](const TestStore&) { return std::vector{Transfer(R"("stall_after_headers":8)", 1)}; },
     Outcome::kCompletes, "completed and verified"},
    {"RedirectLoop",
     [](const TestStore& store) {
         return std::vector{Transfer(
             R"("redirect":)" + Json(store.CdnUrl() + "/secure/" + kGame + "/" + kFile), 3)};
     },
     Outcome::kCompletes, "completed and verified"},
    {"RedirectToAFile",
     [](const TestStore&) {
         return std::vector{Transfer(R"("redirect":"file:///etc/passwd")", 2)};
     },
     Outcome::kCompletes, "completed and verified"},
    {"RedirectToPlainHttp",
     [](const TestStore& store) {
         return std::vector{Transfer(
             R"("redirect":)" + Json(store.CdnHttpUrl() + "/secure/" + kGame + "/" + kFile), 2)};
     },
     Outcome::kCompletes, "completed and verified"},
    {"ApiRedirectToPlainHttp",
     [](const TestStore& store) {
         return std::vector{Answer{"api", std::string("/en/downloader/gameDetails/") + kGame,
                                   R"("redirect":)" + Json(store.CdnHttpUrl() + "/x")}};
     },
     Outcome::kFails, "Cannot fetch game details"},

    // Files planted at the names the program writes.
    {"PartialChunkIsALinkOut", [](const TestStore&) { return std::vector<Answer>{}; },
     Outcome::kFails, "Error writing file to disk...",
     [](const fs::path& game, const fs::path& outside) {
         fs::create_symlink(outside / "victim.txt", game / "setup.bin.chunk0_downloading");
     }},
    {"VerifiedChunkIsALinkOut", [](const TestStore&) { return std::vector<Answer>{}; },
     Outcome::kCompletes, "completed and verified",
     [](const fs::path& game, const fs::path& outside) {
         fs::create_symlink(outside / "victim.txt", game / "setup.bin.chunk1");
     }},
    {"FinishedFileIsALinkOut", [](const TestStore&) { return std::vector<Answer>{}; },
     Outcome::kFails, "Error writing file to disk...",
     [](const fs::path& game, const fs::path& outside) {
         fs::create_symlink(outside / "victim.txt", game / "setup.bin");
     }},
    {"WorkingFileIsALinkOut", [](const TestStore&) { return std::vector<Answer>{}; },
     Outcome::kFails, "Error writing file to disk...",
     [](const fs::path& game, const fs::path& outside) {
         fs::create_symlink(outside / "victim.txt", game / "setup.bin.joining");
     }},
    {"JoinRecordIsALinkOut", [](const TestStore&) { return std::vector<Answer>{}; },
     Outcome::kCompletes, "completed and verified",
     [](const fs::path& game, const fs::path& outside) {
         fs::create_symlink(outside / "victim.txt", game / "setup.bin.joining.state");
     }},
    {"JoinRecordTemporaryIsALinkOut", [](const TestStore&) { return std::vector<Answer>{}; },
     Outcome::kCompletes, "completed and verified",
     [](const fs::path& game, const fs::path& outside) {
         fs::create_symlink(outside / "victim.txt", game / "setup.bin.joining.state.new");
     }},
    {"GameFolderIsALinkOut", [](const TestStore&) { return std::vector<Answer>{}; },
     Outcome::kFails, "a folder on its way is a symbolic link",
     [](const fs::path& game, const fs::path& outside) {
         fs::rename(game, outside / "elsewhere");
         fs::create_directory_symlink(outside / "elsewhere", game);
     }},
    {"PartialChunkIsAFifo", [](const TestStore&) { return std::vector<Answer>{}; }, Outcome::kFails,
     "Error writing file to disk...",
     [](const fs::path& game, const fs::path&) {
         ASSERT_EQ(::mkfifo((game / "setup.bin.chunk2_downloading").c_str(), 0600), 0);
     }},
};

class HostileNetworkTest : public ::testing::TestWithParam<HostileCase> {
protected:
    HostileNetworkTest() { store_.UseInEnvironment(); }

    fs::path Downloads() const { return home_.Root() / "downloads"; }

    CliProcess::Options Run() const {
        CliProcess::Options options = DemoDownload(Downloads(), kGame, 2, runs_.Path());
        options.workingFolder = home_.Root() / "cwd";
        return options;
    }

    TempHome home_;
    TempDir runs_;
    TestStore store_;
};

TEST_P(HostileNetworkTest, NothingOutsideItsFoldersChangesAndNothingIsLost) {
    const HostileCase& c = GetParam();
    FaultFigures figures(std::string("HostileNetwork.") + c.label);
    store_.AddGame(std::string(R"({"name":")") + kGame +
                   R"(","title":"Hostile game","owned":true,"files":[{"id":0,"path":")" + kFile +
                   R"(","size":)" + std::to_string(kSize) +
                   R"(,"seed":"hostile/0","chunk_size":65536,"timestamp":"1714557700"}]})");
    const fs::path game = Downloads() / kGame;
    const fs::path outside = home_.Root() / "outside";
    fs::create_directories(game);
    fs::create_directories(home_.Root() / "cwd");
    WriteFile(game / "my-notes.txt", "the user's own file");
    WriteFile(outside / "victim.txt", "not the program's to touch");
    if (c.plant) {
        c.plant(game, outside);
    }
    const TreeSnapshot before = SnapshotTree(home_.Root());
    TreeSnapshot kept;
    for (const auto& [path, entry] : before) {
        if (entry.type == 'f') {
            kept[path] = entry;
        }
    }

    for (const Answer& answer : c.answers(store_)) {
        store_.SetFault(std::string(R"({"server":")") + answer.server + R"(","path":)" +
                        Json(answer.path) + R"(,"fail_next":)" + std::to_string(answer.times) +
                        (answer.switches.empty() ? "" : "," + answer.switches) + "}");
    }
    figures.Injected();
    CliProcess run(Run());
    const int code = run.Wait(std::chrono::seconds(90));
    const std::string output = run.Out() + run.Err();
    // Every answer armed for a number of requests was given that often: the case did happen.
    for (const Answer& answer : c.answers(store_)) {
        if (answer.times > 0) {
            EXPECT_EQ(store_.ArmedFaults().find(answer.path), std::string::npos)
                << answer.path << " was not asked for as often as the case needs";
        }
    }
    if (*c.expected != '\0') {
        EXPECT_NE(output.find(c.expected), std::string::npos) << output;
    }

    // Links and redirects lead to https only: not one request went to the plain-text server.
    for (const StoreRequest& request : store_.Requests()) {
        EXPECT_NE(request.server, "cdn_http") << request.path << " was fetched without TLS";
    }

    const TreeSnapshot after = SnapshotTree(home_.Root());
    const std::string finished = (fs::path("downloads") / kFile).string();
    const auto found = after.find(finished);
    if (c.outcome == Outcome::kCompletes) {
        EXPECT_EQ(code, 0) << output;
        ASSERT_NE(found, after.end()) << output;
        EXPECT_EQ(found->second.type, 'f');
        EXPECT_EQ(found->second.digest, store_.ExpectedFileMd5(kGame, 0));
        for (const auto& [path, entry] : after) {
            EXPECT_EQ(path.find(".chunk"), std::string::npos) << path << " is left behind";
            EXPECT_EQ(path.find(".joining"), std::string::npos) << path << " is left behind";
        }
    } else {
        EXPECT_EQ(code, kExitFailed) << output;
        if (found != after.end() && found->second.type == 'f') {
            EXPECT_EQ(found->second.digest, store_.ExpectedFileMd5(kGame, 0))
                << "a finished file that did not pass its check";
        }
    }

    // The user's files and the victim outside as they were; only the game's folder and the
    // program's own folders changed.
    // A link planted by the test stays a link to what it was.
    figures.Lost(LostBytes(kept, after));
    std::vector<std::string> allowed = home_.ProgramFolders();
    allowed.push_back((fs::path("downloads") / kGame).string());
    figures.WrittenOutside(ChangedOutside(before, after, allowed));
    EXPECT_TRUE(fs::is_empty(home_.Root() / "cwd"));
    for (const StoredRecord& record : StoredRecords(Registry::DefaultPath())) {
        EXPECT_TRUE(record.readable) << record.name;
        EXPECT_EQ(record.recordName, kGame);
    }
    if (!HasFailure()) {
        figures.Survived();
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, HostileNetworkTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<HostileCase>& param) {
                             return std::string(param.param.label);
                         });

}  // namespace
