// velkdownloader-cli as a tool that scripts call: `list`, `remove` and the JSON lines of a
// download, run as built against the local test store, each test in a home of its own. The JSON
// is read back by Python's json module, an implementation independent of ours.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/RecordStore.h"
#include "core/TextUtil.h"
#include "platform/Registry.h"
#include "support/CliProcess.h"
#include "support/DemoRun.h"
#include "support/FileFixtures.h"
#include "support/TempHome.h"
#include "support/TestStore.h"
#include "support/WaitFor.h"

namespace fs = std::filesystem;

namespace {

using Fields = std::map<std::string, std::string>;

class CliRun : public CliProcess {
public:
    CliRun(const fs::path& folder, const std::vector<std::string>& args)
        : CliProcess(Options{VELK_CLI_PROGRAM, args, folder, {}, {}, {}, {}}) {}
};

// Each line of `text` parsed by Python's json module, as its fields: strings as they are, numbers
// in decimal, null as "null", a list of files as "path=size;..." and the keys in their order under
// "keys". A line that is not one JSON object fails the test.
std::vector<Fields> ParseJsonLines(const fs::path& folder, const std::string& text) {
    const char* script =
        "import json, sys\n"
        "for line in sys.stdin.read().split('\\n')[:-1]:\n"
        "    value = json.loads(line)\n"
        "    assert isinstance(value, dict), line\n"
        "    fields = ['keys=' + ','.join(value)]\n"
        "    for key, item in value.items():\n"
        "        if item is None: item = 'null'\n"
        "        elif isinstance(item, list):\n"
        "            item = ';'.join(f['path'] + '=' + str(f['size']) for f in item)\n"
        "        elif isinstance(item, int) and not isinstance(item, bool): item = str(item)\n"
        "        assert isinstance(item, str), (key, line)\n"
        "        fields.append(key + '=' + item)\n"
        "    print('\\x1f'.join(fields))\n";
    CliProcess python(
        CliProcess::Options{"/usr/bin/python3", {"-c", script}, folder, {}, {}, {}, text});
    EXPECT_EQ(python.Wait(), 0) << python.Err() << text;
    std::vector<Fields> lines;
    const std::string out = python.Out();
    for (size_t at = 0; at < out.size();) {
        const size_t newline = out.find('\n', at);
        const std::string line = out.substr(at, newline - at);
        at = newline == std::string::npos ? out.size() : newline + 1;
        Fields fields;
        size_t start = 0;
        while (start <= line.size()) {
            size_t end = line.find('\x1f', start);
            if (end == std::string::npos) {
                end = line.size();
            }
            const std::string field = line.substr(start, end - start);
            const size_t equals = field.find('=');
            fields[field.substr(0, equals)] = field.substr(equals + 1);
            start = end + 1;
        }
        lines.push_back(std::move(fields));
    }
    return lines;
}

// A game whose files are in `paths`, `sizes` bytes each, one chunk size for all; the files whose
// flag in `unavailable` is set are not offered yet.
std::string GameJson(const std::string& name, const std::vector<std::string>& paths,
                     const std::vector<uint64_t>& sizes, const std::set<size_t>& unavailable = {}) {
    std::string json =
        R"({"name":")" + name + R"(","title":"Title of )" + name + R"(","owned":true,"files":[)";
    for (size_t i = 0; i < paths.size(); ++i) {
        json +=
            (i == 0 ? "" : ",") + std::string(R"({"id":)") + std::to_string(i) + R"(,"path":")" +
            paths[i] + R"(","size":)" + std::to_string(sizes[i]) + R"(,"seed":")" + name +
            std::to_string(i) + R"(","chunk_size":65536,"timestamp":"1714557700")" +
            (unavailable.count(i) != 0 ? R"(,"available":false,"notavailablemsg":"Later.")" : "") +
            "}";
    }
    return json + "]}";
}

class CliCommandsTest : public ::testing::Test {
protected:
    CliCommandsTest() { store_.UseInEnvironment(); }

    fs::path Downloads() const { return home_.Root() / "downloads"; }

    std::vector<std::string> DownloadArgs(const std::vector<std::string>& games) const {
        return DemoDownloadArgs(Downloads(), games);
    }

    // The stored records in list order.
    std::vector<std::unique_ptr<DownloadInfo>> Records() const {
        std::optional<RegistryKey> key = OpenDownloadsKey(Registry::Open(Registry::DefaultPath()));
        return key ? LoadDownloadRecords(*key) : std::vector<std::unique_ptr<DownloadInfo>>{};
    }

    TempHome home_;
    TempDir runs_;
    TestStore store_;
};

// A download with --json: standard output holds JSON lines only, progress lines whose bytes never
// go down and end at the total, then one result per game asked for, with its files. `list` then
// shows the records as stored, in text and in JSON, and counts a game the store offers only in
// part as its row would: the bytes on disk of all.
TEST_F(CliCommandsTest, JsonDownloadLinesThenTheListShowTheRecords) {
    store_.AddGame(
        GameJson("cmd-multi", {"cmd-multi/setup.bin", "cmd-multi/data/x.bin"}, {300000, 70000}));
    store_.AddGame(
        GameJson("cmd-part", {"cmd-part/a.bin", "cmd-part/b.bin"}, {100000, 50000}, {1}));
    CliRun run(runs_.Path(), [&] {
        std::vector<std::string> args = DownloadArgs({"cmd-multi", "cmd-part"});
        args.insert(args.begin(), "--json");
        return args;
    }());
    EXPECT_EQ(run.Wait(), 1) << run.Out() << run.Err();
    const std::vector<Fields> lines = ParseJsonLines(runs_.Path(), run.Out());
    ASSERT_GE(lines.size(), 4u) << run.Out();

    std::map<std::string, uint64_t> lastBytes;
    std::map<std::string, Fields> lastProgress;
    size_t results = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const Fields& line = lines[i];
        if (line.at("type") == "result") {
            ++results;
            continue;
        }
        // The results come last, after every progress line.
        ASSERT_EQ(results, 0u) << i;
        EXPECT_EQ(line.at("keys"), "type,name,title,state,bytes,total,speed,eta,text");
        const std::string& name = line.at("name");
        const uint64_t bytes = std::stoull(line.at("bytes"));
        EXPECT_GE(bytes, lastBytes[name]) << name << " line " << i;
        EXPECT_LE(bytes, std::stoull(line.at("total"))) << name;
        EXPECT_TRUE(line.at("eta") == "null" || std::stoull(line.at("eta")) > 0) << line.at("eta");
        lastBytes[name] = bytes;
        EXPECT_NE(lastProgress[name], line) << "a line repeated unchanged";
        lastProgress[name] = line;
    }
    ASSERT_EQ(results, 2u);
    const Fields& done = lastProgress.at("cmd-multi");
    EXPECT_EQ(done.at("state"), "completed");
    EXPECT_EQ(done.at("bytes"), "370000");
    EXPECT_EQ(done.at("total"), "370000");
    EXPECT_EQ(done.at("speed"), "0");
    EXPECT_EQ(done.at("title"), "Title of cmd-multi");

    const Fields& multi = lines[lines.size() - 2];
    const std::string folder = Downloads().string() + "/";
    EXPECT_EQ(multi.at("keys"), "type,name,outcome,message,folder,files");
    EXPECT_EQ(multi.at("name"), "cmd-multi");
    EXPECT_EQ(multi.at("outcome"), "completed");
    EXPECT_EQ(multi.at("message"), "");
    EXPECT_EQ(multi.at("folder"), folder);
    EXPECT_EQ(multi.at("files"),
              folder + "cmd-multi/setup.bin=300000;" + folder + "cmd-multi/data/x.bin=70000");
    const Fields& part = lines.back();
    EXPECT_EQ(part.at("name"), "cmd-part");
    EXPECT_EQ(part.at("outcome"), "failed");
    EXPECT_NE(part.at("message").find("not every file is available"), std::string::npos);
    EXPECT_EQ(part.at("files"), "");
    EXPECT_EQ(run.Err().find("{"), std::string::npos) << "JSON on standard error";

    const auto records = Records();
    ASSERT_EQ(records.size(), 2u);
    CliRun json(runs_.Path(), {"list", "--json"});
    ASSERT_EQ(json.Wait(), 0) << json.Err();
    const std::vector<Fields> listed = ParseJsonLines(runs_.Path(), json.Out());
    ASSERT_EQ(listed.size(), records.size());
    const struct {
        const char* state;
        const char* bytes;
        const char* total;
    } expected[] = {{"completed", "370000", "370000"}, {"paused", "100000", "150000"}};
    for (size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(listed[i].at("keys"), "name,title,state,bytes,total,folder");
        EXPECT_EQ(listed[i].at("name"), WideToUtf8(records[i]->name));
        EXPECT_EQ(listed[i].at("title"), WideToUtf8(records[i]->title));
        EXPECT_EQ(listed[i].at("folder"), WideToUtf8(records[i]->folder));
        EXPECT_EQ(listed[i].at("state"), expected[i].state);
        EXPECT_EQ(listed[i].at("bytes"), expected[i].bytes);
        EXPECT_EQ(listed[i].at("total"), expected[i].total);
    }
    CliRun text(runs_.Path(), {"list"});
    ASSERT_EQ(text.Wait(), 0) << text.Err();
    EXPECT_EQ(text.Out(), "cmd-multi\tTitle of cmd-multi\tcompleted\t370000 of 370000 bytes\t" +
                              folder +
                              "\ncmd-part\tTitle of cmd-part\tpaused\t100000 of 150000 bytes\t" +
                              folder + "\n");
}

// Removal as the row menu does it: the record always goes; with --delete-files the game's own
// files go too (finished files, a leftover chunk file, the folders left empty), and a file of
// someone else's in its folder, and the other game, stay.
TEST_F(CliCommandsTest, RemoveDropsTheRecordAndOnlyTheGamesOwnFiles) {
    store_.AddGame(
        GameJson("cmd-gone", {"cmd-gone/setup.bin", "cmd-gone/data/x.bin"}, {200000, 70000}));
    store_.AddGame(GameJson("cmd-kept", {"cmd-kept/setup.bin"}, {90000}));
    CliRun download(runs_.Path(), DownloadArgs({"cmd-gone", "cmd-kept"}));
    ASSERT_EQ(download.Wait(), 0) << download.Out() << download.Err();
    WriteFile(Downloads() / "cmd-gone/notes.txt", "mine");
    WriteFile(Downloads() / "cmd-gone/setup.bin.chunk3", "left over");

    CliRun removeWithFiles(runs_.Path(), {"remove", "cmd-gone", "--delete-files"});
    ASSERT_EQ(removeWithFiles.Wait(), 0) << removeWithFiles.Err();
    EXPECT_EQ(removeWithFiles.Out(),
              "Removed cmd-gone (Title of cmd-gone) from the list, and 3 of its files from the "
              "disk\n");
    EXPECT_FALSE(fs::exists(Downloads() / "cmd-gone/setup.bin"));
    EXPECT_FALSE(fs::exists(Downloads() / "cmd-gone/setup.bin.chunk3"));
    EXPECT_FALSE(fs::exists(Downloads() / "cmd-gone/data"));
    EXPECT_EQ(ReadFile(Downloads() / "cmd-gone/notes.txt"), "mine");
    EXPECT_TRUE(fs::exists(Downloads() / "cmd-kept/setup.bin"));
    auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]->name, u"cmd-kept");

    // By its address, without its files; a second removal finds nothing.
    for (const int expected : {0, 1}) {
        CliRun remove(runs_.Path(), {"remove", "velkdownloader://cmd-kept"});
        EXPECT_EQ(remove.Wait(), expected) << remove.Out() << remove.Err();
        if (expected == 1) {
            EXPECT_EQ(remove.Err(), "velkdownloader-cli: no game cmd-kept in the list\n");
        }
    }
    EXPECT_TRUE(fs::exists(Downloads() / "cmd-kept/setup.bin"));
    EXPECT_TRUE(Records().empty());
    CliRun list(runs_.Path(), {"list"});
    EXPECT_EQ(list.Wait(), 0);
    EXPECT_EQ(list.Out(), "");
}

// While another instance runs (here a download held back by a slow store), `list` reads the
// store beside it and `remove` refuses, leaving the record in place. The running download, told
// to stop, ends its JSON lines with the game's result: interrupted.
TEST_F(CliCommandsTest, WhileAnotherInstanceRunsListReadsAndRemoveRefuses) {
    store_.AddGame(GameJson("cmd-busy", {"cmd-busy/setup.bin"}, {4000000}));
    store_.SetFault(R"({"server":"cdn","path_prefix":"/secure/cmd-busy/","fail_next":-1,)"
                    R"("rate":65536})");
    std::vector<std::string> args = DownloadArgs({"cmd-busy"});
    args.insert(args.begin(), "--json");
    CliRun running(runs_.Path(), args);
    const auto listed = [&] {
        CliRun list(runs_.Path(), {"list", "--json"});
        return list.Wait() == 0 && list.Out().find("\"name\":\"cmd-busy\"") != std::string::npos;
    };
    ASSERT_TRUE(WaitFor(listed, std::chrono::seconds(20))) << running.Out() << running.Err();

    CliRun remove(runs_.Path(), {"remove", "cmd-busy", "--delete-files"});
    EXPECT_EQ(remove.Wait(), 1);
    EXPECT_EQ(remove.Err(),
              "velkdownloader-cli: VelkDownloader is running; remove cmd-busy from its window, "
              "or quit it first\n");
    EXPECT_TRUE(running.Running());
    EXPECT_TRUE(listed());
    running.Signal(SIGTERM);
    EXPECT_EQ(running.Wait(), 130) << running.Err();
    ASSERT_EQ(Records().size(), 1u);
    const std::vector<Fields> lines = ParseJsonLines(runs_.Path(), running.Out());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().at("type"), "result");
    EXPECT_EQ(lines.back().at("outcome"), "interrupted");
    EXPECT_EQ(lines.back().at("folder"), Downloads().string() + "/");
    EXPECT_EQ(lines.back().at("files"), "");
}

// Commands that need no store, on an empty home: what they print and how they end.
TEST(CliCommandsNoStore, VersionHelpAndAnEmptyList) {
    TempHome home;
    TempDir runs;
    const struct {
        std::vector<std::string> args;
        int code;
        std::string out;  // standard output, exactly; "usage" for the usage text
        std::string err;  // standard error, exactly
    } cases[] = {
        {{"--version"}, 0, "velkdownloader-cli 0.9.0.1336\n", ""},
        {{"list", "--version"}, 0, "velkdownloader-cli 0.9.0.1336\n", ""},
        {{"--help"}, 0, "usage", ""},
        {{"remove", "-h"}, 0, "usage", ""},
        {{"list"}, 0, "", "No games in the list.\n"},
        {{"list", "--json"}, 0, "", ""},
        {{"remove", "some-game"}, 1, "", "velkdownloader-cli: no game some-game in the list\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : ""));
        CliRun run(runs.Path(), c.args);
        EXPECT_EQ(run.Wait(), c.code);
        if (c.out == "usage") {
            EXPECT_EQ(run.Out().rfind("usage: velkdownloader-cli", 0), 0u) << run.Out();
        } else {
            EXPECT_EQ(run.Out(), c.out);
        }
        EXPECT_EQ(run.Err(), c.err);
    }
    // Neither the listing nor the failed removal made a settings store.
    EXPECT_FALSE(fs::exists(Registry::DefaultPath()));
}

}  // namespace
