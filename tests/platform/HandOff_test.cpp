#include "platform/HandOff.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "support/TempHome.h"
#include "support/WaitFor.h"

extern char** environ;

namespace {

using std::chrono::milliseconds;

struct HelperRun {
    int exitCode = -1;
    std::string output;
};

// Runs the sender helper as a real second process and collects what it printed.
HelperRun RunSender(const std::vector<std::string>& arguments) {
    const std::string program = HelperProgram("handoff_sender").string();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    HelperRun run;
    if (spawned != 0) {
        close(out[0]);
        return run;
    }
    char buffer[512];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
        run.output.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// The file under which the machine keeps a named object.
std::string ShmFile(const std::string& name, bool semaphore) {
    return (semaphore ? "/dev/shm/sem." : "/dev/shm/") + name.substr(1);
}

enum class Which { Token, Notify, Block };
const char* WhichName(Which which) {
    return which == Which::Token ? "token" : which == Which::Notify ? "notify" : "block";
}
const std::string& NameOf(const HandOffNames& names, Which which) {
    return which == Which::Token    ? names.token
           : which == Which::Notify ? names.notify
                                    : names.block;
}

// Another local user's object under one of our names, made 0666 so that we could use it. As root
// the test gives it away to nobody (65534); otherwise a folder stands in its place, which is no
// more ours to use or remove. Gone when the object goes.
class Squatter {
public:
    Squatter(const std::string& name, bool semaphore) : file_(ShmFile(name, semaphore)) {
        if (geteuid() != 0) {
            made_ = mkdir(file_.c_str(), 0777) == 0;
            return;
        }
        if (semaphore) {
            sem_t* sem = sem_open(name.c_str(), O_CREAT | O_EXCL, 0666, 1);
            made_ = sem != SEM_FAILED;
            if (made_) {
                sem_close(sem);
            }
        } else {
            const int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0666);
            made_ = fd >= 0 && ftruncate(fd, kHandOffBlockSize) == 0;
            if (fd >= 0) {
                close(fd);
            }
        }
        made_ = made_ && chown(file_.c_str(), 65534, 65534) == 0 && chmod(file_.c_str(), 0666) == 0;
    }
    ~Squatter() {
        std::error_code ignored;
        std::filesystem::remove(file_, ignored);
    }
    bool Made() const { return made_; }
    // Still there, and still not ours.
    bool Untouched() const {
        struct stat info {};
        return lstat(file_.c_str(), &info) == 0 &&
               (geteuid() == 0 ? info.st_uid == 65534 : S_ISDIR(info.st_mode));
    }

private:
    std::string file_;
    bool made_ = false;
};

// A receiver whose listener counts the notifies.
struct Listening {
    std::unique_ptr<HandOffReceiver> receiver = HandOffReceiver::Create();
    std::atomic<int> notifies{0};
    Listening() {
        if (receiver) {
            receiver->Start([this] { notifies.fetch_add(1); });
        }
    }
};

TEST(HandOff, NamesCarryTheUserAndTheRuntimeFolder) {
    HandOffNames first;
    {
        TempHome home;
        first = HandOffNames::ForCurrentUser();
        const std::string uid = "/velkdownloader-" + std::to_string(getuid()) + "-";
        EXPECT_EQ(first.token.rfind(uid, 0), 0u);
        EXPECT_EQ(first.token.substr(first.token.size() - 14), "-handoff-token");
        EXPECT_EQ(first.block.substr(first.block.size() - 14), "-handoff-block");
        EXPECT_EQ(first.notify.substr(first.notify.size() - 15), "-handoff-notify");
        EXPECT_EQ(HandOffNames::ForCurrentUser().token, first.token);
    }
    TempHome other;
    EXPECT_NE(HandOffNames::ForCurrentUser().token, first.token);
}

TEST(HandOff, ASecondProcessHandsItsCommandLineOver) {
    TempHome home;
    Listening first;
    ASSERT_TRUE(first.receiver);

    const HelperRun run =
        RunSender({"--wait-ms", "5000", "velkdownloader://my game/", "/minimized"});
    EXPECT_EQ(run.exitCode, static_cast<int>(HandOffSendResult::Delivered)) << run.output;
    ASSERT_TRUE(WaitFor([&] { return first.notifies.load() == 1; }));
    EXPECT_EQ(first.receiver->ReadBlock(), u"\"velkdownloader://my game/\" /minimized");

    // Until the token comes back, a further sender waits and then gives up without a message.
    const HelperRun blocked = RunSender({"--wait-ms", "200", "velkdownloader://second"});
    EXPECT_EQ(blocked.exitCode, static_cast<int>(HandOffSendResult::TimedOut)) << blocked.output;
    EXPECT_EQ(blocked.output, "TimedOut\n\n");
    EXPECT_EQ(first.receiver->ReadBlock(), u"\"velkdownloader://my game/\" /minimized");

    first.receiver->ReturnToken();
    const HelperRun next = RunSender({"--wait-ms", "5000", "velkdownloader://third"});
    EXPECT_EQ(next.exitCode, static_cast<int>(HandOffSendResult::Delivered)) << next.output;
    ASSERT_TRUE(WaitFor([&] { return first.notifies.load() == 2; }));
    EXPECT_EQ(first.receiver->ReadBlock(), u"velkdownloader://third");
}

TEST(HandOff, WithoutAFirstInstanceTheSenderCannotOpenTheHandle) {
    TempHome home;
    const HelperRun run = RunSender({"--wait-ms", "5000", "velkdownloader://x"});
    EXPECT_EQ(run.exitCode, static_cast<int>(HandOffSendResult::NoToken));
    EXPECT_EQ(run.output, "NoToken\nCould not open interprocess handle.\n");
    EXPECT_EQ(HandOffErrorText(HandOffSendResult::NoMapping),
              u"Could not create file mapping object.");
    EXPECT_EQ(HandOffErrorText(HandOffSendResult::NoView), u"Could not map view of file.");

    // Once the first instance has gone, its objects go with it.
    { Listening first; }
    EXPECT_EQ(SendHandOff(u"x", milliseconds(1000)), HandOffSendResult::NoToken);
}

TEST(HandOff, ALongCommandLineIsCutToFitWithItsTerminator) {
    TempHome home;
    Listening first;
    ASSERT_TRUE(first.receiver);
    constexpr size_t kUnits = kHandOffBlockSize / 2;
    const std::u16string surrogatePair = u"\U0001F600";
    struct Case {
        std::u16string line;
        std::u16string expected;
    };
    const Case cases[] = {
        {std::u16string(kUnits - 1, u'a'), std::u16string(kUnits - 1, u'a')},
        {std::u16string(kUnits, u'b'), std::u16string(kUnits - 1, u'b')},
        {std::u16string(3 * kUnits, u'c'), std::u16string(kUnits - 1, u'c')},
        // A cut between the halves of a pair would leave half a character: the pair goes whole.
        {std::u16string(kUnits - 2, u'd') + surrogatePair, std::u16string(kUnits - 2, u'd')},
        {std::u16string(kUnits - 3, u'e') + surrogatePair,
         std::u16string(kUnits - 3, u'e') + surrogatePair},
        // A shorter line after a longer one: the terminator ends it.
        {u"velkdownloader://short", u"velkdownloader://short"},
        // A start without arguments hands over an empty line.
        {u"", u""},
    };
    int expectedNotifies = 0;
    for (const Case& c : cases) {
        ASSERT_EQ(SendHandOff(c.line, milliseconds(5000)), HandOffSendResult::Delivered);
        ++expectedNotifies;
        ASSERT_TRUE(WaitFor([&] { return first.notifies.load() == expectedNotifies; }));
        EXPECT_EQ(first.receiver->ReadBlock(), c.expected) << c.line.size();
        first.receiver->ReturnToken();
    }

    // The block is still exactly the size agreed, with the terminator inside it.
    const HandOffNames names = HandOffNames::ForCurrentUser();
    ASSERT_EQ(SendHandOff(std::u16string(2 * kUnits, u'z'), milliseconds(5000)),
              HandOffSendResult::Delivered);
    const int fd = shm_open(names.block.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    struct stat info {};
    ASSERT_EQ(fstat(fd, &info), 0);
    EXPECT_EQ(info.st_size, static_cast<off_t>(kHandOffBlockSize));
    void* view = mmap(nullptr, kHandOffBlockSize, PROT_READ, MAP_SHARED, fd, 0);
    ASSERT_NE(view, MAP_FAILED);
    char16_t last = 1;
    std::memcpy(&last, static_cast<const char*>(view) + kHandOffBlockSize - 2, sizeof last);
    EXPECT_EQ(last, 0);
    munmap(view, kHandOffBlockSize);
    close(fd);
}

TEST(HandOff, ReturningTheTokenTwiceStillAdmitsOneSenderAtATime) {
    TempHome home;
    Listening first;
    ASSERT_TRUE(first.receiver);
    first.receiver->ReturnToken();  // already available: stays one token
    EXPECT_EQ(SendHandOff(u"one", milliseconds(5000)), HandOffSendResult::Delivered);
    EXPECT_EQ(SendHandOff(u"two", milliseconds(50)), HandOffSendResult::TimedOut);
    ASSERT_TRUE(WaitFor([&] { return first.notifies.load() == 1; }));
    EXPECT_EQ(first.receiver->ReadBlock(), u"one");
}

TEST(HandOff, AFreshFirstInstanceReplacesObjectsLeftByACrash) {
    TempHome home;
    const HandOffNames names = HandOffNames::ForCurrentUser();
    // A crashed run: its token taken for good and a notify nobody will read.
    sem_t* staleToken = sem_open(names.token.c_str(), O_CREAT, 0600, 0);
    sem_t* staleNotify = sem_open(names.notify.c_str(), O_CREAT, 0600, 1);
    ASSERT_NE(staleToken, SEM_FAILED);
    ASSERT_NE(staleNotify, SEM_FAILED);
    sem_close(staleToken);
    sem_close(staleNotify);
    // And the names it had moved to, recorded, with their objects.
    const HandOffNames staleMoved = names.Tagged("00000000deadbeef");
    ASSERT_TRUE(RecordHandOffTag("00000000deadbeef"));
    sem_t* staleMovedToken = sem_open(staleMoved.token.c_str(), O_CREAT, 0600, 0);
    ASSERT_NE(staleMovedToken, SEM_FAILED);
    sem_close(staleMovedToken);
    const int staleMovedBlock = shm_open(staleMoved.block.c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(staleMovedBlock, 0);
    close(staleMovedBlock);

    // A strict umask must not leave the objects unusable to our own second instance.
    const mode_t saved = umask(0277);
    Listening first;
    umask(saved);
    ASSERT_TRUE(first.receiver);
    for (const std::string& file :
         {"/dev/shm/sem." + names.token.substr(1), "/dev/shm/sem." + names.notify.substr(1),
          "/dev/shm/" + names.block.substr(1)}) {
        struct stat info {};
        ASSERT_EQ(stat(file.c_str(), &info), 0) << file;
        EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
    }
    EXPECT_EQ(first.receiver->Names(), names);
    EXPECT_EQ(HandOffNames::ForCurrentUser(), names);
    EXPECT_FALSE(std::filesystem::exists(ShmFile(staleMoved.token, true)));
    EXPECT_FALSE(std::filesystem::exists(ShmFile(staleMoved.block, false)));
    EXPECT_EQ(SendHandOff(u"after crash", milliseconds(5000)), HandOffSendResult::Delivered);
    ASSERT_TRUE(WaitFor([&] { return first.notifies.load() == 1; }));
    EXPECT_EQ(first.receiver->ReadBlock(), u"after crash");
}

TEST(HandOff, ASenderThatFailsAfterTakingTheTokenGivesItBack) {
    TempHome home;
    Listening first;
    ASSERT_TRUE(first.receiver);
    const HandOffNames names = HandOffNames::ForCurrentUser();
    ASSERT_EQ(shm_unlink(names.block.c_str()), 0);
    EXPECT_EQ(SendHandOff(u"lost", milliseconds(5000)), HandOffSendResult::NoMapping);

    // A block too small to hold what the agreement says can't be written through.
    const int fd = shm_open(names.block.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 100), 0);
    close(fd);
    EXPECT_EQ(SendHandOff(u"lost", milliseconds(5000)), HandOffSendResult::NoView);
    // Both failures returned the token: a sender still gets it at once.
    EXPECT_EQ(SendHandOff(u"lost", milliseconds(0)), HandOffSendResult::NoView);
    EXPECT_EQ(first.notifies.load(), 0);
}

TEST(HandOff, NamesHeldByAnotherUserAreLeftAloneAndTheFirstInstanceMovesAside) {
    for (const Which which : {Which::Token, Which::Notify, Which::Block}) {
        SCOPED_TRACE(WhichName(which));
        TempHome home;
        const HandOffNames usual = HandOffNames::Usual();
        const Squatter squatter(NameOf(usual, which), which != Which::Block);
        ASSERT_TRUE(squatter.Made());
        {
            Listening first;
            ASSERT_TRUE(first.receiver);
            const HandOffNames moved = first.receiver->Names();
            EXPECT_NE(moved, usual);
            EXPECT_TRUE(squatter.Untouched());
            // Later starts find the names the first instance moved to.
            EXPECT_EQ(HandOffNames::ForCurrentUser(), moved);
            for (const Which made : {Which::Token, Which::Notify, Which::Block}) {
                struct stat info {};
                const std::string file = ShmFile(NameOf(moved, made), made != Which::Block);
                ASSERT_EQ(stat(file.c_str(), &info), 0) << file;
                EXPECT_EQ(info.st_uid, geteuid()) << file;
                EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
            }

            // A second instance of the same user, as its own process, still hands over.
            const HelperRun run = RunSender({"--wait-ms", "5000", "velkdownloader://moved"});
            EXPECT_EQ(run.exitCode, static_cast<int>(HandOffSendResult::Delivered)) << run.output;
            ASSERT_TRUE(WaitFor([&] { return first.notifies.load() == 1; }));
            EXPECT_EQ(first.receiver->ReadBlock(), u"velkdownloader://moved");
        }
        // Gone with the first instance: its objects and the record of their names.
        EXPECT_EQ(HandOffNames::ForCurrentUser(), usual);
        EXPECT_FALSE(std::filesystem::exists(home.RuntimeDir() / "velkdownloader.handoff"));
        EXPECT_TRUE(squatter.Untouched());
        EXPECT_EQ(SendHandOff(u"x", milliseconds(100)), HandOffSendResult::NoToken);
    }
}

TEST(HandOff, ASenderUsesNoObjectThatOthersCouldReadOrPost) {
    // The objects under the usual names, one of them open to others: another user's, as root,
    // else our own made 0666.
    const bool root = geteuid() == 0;
    struct Case {
        Which exposed;
        HandOffSendResult expected;
    };
    const Case cases[] = {
        {Which::Token, HandOffSendResult::NoToken},
        {Which::Notify, HandOffSendResult::NoToken},
        {Which::Block, HandOffSendResult::NoMapping},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WhichName(c.exposed));
        TempHome home;
        const HandOffNames names = HandOffNames::Usual();
        sem_t* token = sem_open(names.token.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600, 1);
        sem_t* notify = sem_open(names.notify.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600, 0);
        const int block = shm_open(names.block.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
        ASSERT_NE(token, SEM_FAILED);
        ASSERT_NE(notify, SEM_FAILED);
        ASSERT_GE(block, 0);
        ASSERT_EQ(ftruncate(block, kHandOffBlockSize), 0);
        const std::string file = ShmFile(NameOf(names, c.exposed), c.exposed != Which::Block);
        ASSERT_EQ(chmod(file.c_str(), 0666), 0);
        if (root) {
            ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
        }

        EXPECT_EQ(SendHandOff(u"secret command line", milliseconds(1000)), c.expected);
        // Nothing was written, nobody was told, and the token is where it was.
        void* view = mmap(nullptr, kHandOffBlockSize, PROT_READ, MAP_SHARED, block, 0);
        ASSERT_NE(view, MAP_FAILED);
        const auto* bytes = static_cast<const uint8_t*>(view);
        EXPECT_TRUE(
            std::all_of(bytes, bytes + kHandOffBlockSize, [](uint8_t b) { return b == 0; }));
        munmap(view, kHandOffBlockSize);
        int value = -1;
        ASSERT_EQ(sem_getvalue(token, &value), 0);
        EXPECT_EQ(value, 1);
        ASSERT_EQ(sem_getvalue(notify, &value), 0);
        EXPECT_EQ(value, 0);
        sem_close(token);
        sem_close(notify);
        close(block);
    }
}

TEST(HandOff, OnlyAWellFormedRecordOfOurOwnMovesTheNames) {
    TempHome home;
    const HandOffNames usual = HandOffNames::Usual();
    const std::filesystem::path record = home.RuntimeDir() / "velkdownloader.handoff";
    const std::string tag = "0123456789abcdef";
    ASSERT_TRUE(RecordHandOffTag(tag));
    EXPECT_EQ(HandOffNames::ForCurrentUser(), usual.Tagged(tag));
    EXPECT_EQ(HandOffNames::ForCurrentUser().token.find(tag), usual.token.rfind("handoff-"));
    struct stat info {};
    ASSERT_EQ(stat(record.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    TempDir elsewhere;
    std::ofstream(elsewhere.Path() / "tag") << tag << "\n";
    struct Case {
        const char* what;
        std::function<void()> make;
    };
    const Case cases[] = {
        {"not hex", [&] { std::ofstream(record) << "0123456789abcdeg\n"; }},
        {"too long", [&] { std::ofstream(record) << tag << "0\n"; }},
        {"a path", [&] { std::ofstream(record) << "../../etc/passwd\n"; }},
        {"writable by others",
         [&] {
             std::ofstream(record) << tag << "\n";
             chmod(record.c_str(), 0666);
         }},
        {"a link",
         [&] { ASSERT_EQ(symlink((elsewhere.Path() / "tag").c_str(), record.c_str()), 0); }},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(record);
        c.make();
        EXPECT_EQ(HandOffNames::ForCurrentUser(), usual) << c.what;
    }
}

TEST(HandOff, StopsPromptlyWithNothingToDeliver) {
    TempHome home;
    auto receiver = HandOffReceiver::Create();
    ASSERT_TRUE(receiver);
    std::atomic<int> calls{0};
    receiver->Start([&] { calls.fetch_add(1); });
    receiver->Stop();
    receiver->Stop();
    EXPECT_EQ(calls.load(), 0);
    // A notify that arrives after the stop is never delivered.
    EXPECT_EQ(SendHandOff(u"late", milliseconds(1000)), HandOffSendResult::Delivered);
    EXPECT_EQ(calls.load(), 0);
}

}  // namespace

TEST(HandOff, ABlockWithoutATerminatorIsReadToItsEndAndNoFurther) {
    constexpr size_t kUnits = kHandOffBlockSize / 2;
    std::array<uint8_t, kHandOffBlockSize> block;
    block.fill('A');
    EXPECT_EQ(HandOffBlockText(block), std::u16string(kUnits, u'\u4141'));

    // The first zero unit ends the text, wherever it is; a zero byte alone does not.
    block[4] = 0;
    block[6] = 0;
    block[7] = 0;
    EXPECT_EQ(HandOffBlockText(block), u"\u4141\u4141\u4100");
}
