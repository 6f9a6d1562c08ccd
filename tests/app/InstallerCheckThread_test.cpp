#include "app/InstallerCheckThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "core/TextUtil.h"
#include "engine/BlockFile.h"
#include "engine/Md5Context.h"
#include "support/FileFixtures.h"
#include "support/TempHome.h"
#include "support/WaitFor.h"

namespace fs = std::filesystem;

namespace {

class Collected final : public MessageTarget {
public:
    void Post(AppEvent event) override {
        std::lock_guard lock(mutex_);
        messages_.push_back(std::move(event));
    }
    size_t Count() {
        std::lock_guard lock(mutex_);
        return messages_.size();
    }
    AppEvent Take(size_t index) {
        std::lock_guard lock(mutex_);
        return std::move(messages_.at(index));
    }

private:
    std::mutex mutex_;
    std::vector<AppEvent> messages_;
};

TEST(InstallerCheckThread, OnlyTheVeryFileWithTheRightDigestPasses) {
    TempDir dir;
    const std::string bytes(3 * 1048576 + 17, 'x');  // several read blocks
    WriteFile(dir.Path() / "setup.bin", bytes);
    fs::create_symlink(dir.Path() / "setup.bin", dir.Path() / "link.bin");
    fs::create_directory(dir.Path() / "folder.bin");
    const std::u16string right = Md5Hex(bytes);

    const struct Case {
        const char* title;
        const char* file;
        std::u16string expected;
        bool passes;
        bool digested;  // the file could be read
    } cases[] = {
        {"the right digest", "setup.bin", right, true, true},
        {"another digest", "setup.bin", u"0123456789abcdef0123456789abcdef", false, true},
        {"an empty digest", "setup.bin", u"", false, true},
        {"no such file", "missing.bin", right, false, false},
        {"a symbolic link to the right file", "link.bin", right, false, false},
        {"a folder", "folder.bin", right, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        InstallerCheck check;
        check.path = Utf8ToWide((dir.Path() / c.file).string());
        check.expectedDigest = c.expected;
        InstallerCheckThread::Run(check, {});
        EXPECT_EQ(check.passed, c.passes);
        EXPECT_EQ(check.identity.has_value(), c.passes);
        EXPECT_EQ(check.digest, c.digested ? right : u"");
        if (c.passes) {
            EXPECT_EQ(check.identity, IdentityOfPath((dir.Path() / c.file).string()));
        }
    }

    // Told to stop between blocks: not passed.
    InstallerCheck stopped;
    stopped.path = Utf8ToWide((dir.Path() / "setup.bin").string());
    stopped.expectedDigest = right;
    InstallerCheckThread::Run(stopped, [] { return false; });
    EXPECT_FALSE(stopped.passed);
}

TEST(InstallerCheckThread, ReportsHowFarItHasRead) {
    TempDir dir;
    const std::string bytes(3 * kDiskBlockSize + 5, 'x');
    WriteFile(dir.Path() / "setup.sh", bytes);
    InstallerCheck check;
    check.path = Utf8ToWide((dir.Path() / "setup.sh").string());
    check.expectedDigest = Md5Hex(bytes);
    std::vector<uint64_t> heard;
    InstallerCheckThread::Run(check, {}, [&](uint64_t read) { heard.push_back(read); });
    EXPECT_TRUE(check.passed);
    ASSERT_FALSE(heard.empty());
    EXPECT_TRUE(std::is_sorted(heard.begin(), heard.end()));
    EXPECT_EQ(heard.back(), bytes.size());
}

TEST(InstallerCheckThread, AnswersEveryQueuedCheckInOrderAndStops) {
    TempDir dir;
    WriteFile(dir.Path() / "a.bin", "first");
    WriteFile(dir.Path() / "b.bin", "second");
    Collected posted;
    InstallerCheckThread thread(posted);
    thread.Start();
    thread.Check(u"ga", Utf8ToWide((dir.Path() / "a.bin").string()), Md5Hex("first"));
    thread.Check(u"gb", Utf8ToWide((dir.Path() / "b.bin").string()), Md5Hex("first"));
    ASSERT_TRUE(WaitFor([&] { return posted.Count() == 2; }, std::chrono::seconds(10)));
    thread.Stop();

    AppEvent first = posted.Take(0);
    AppEvent second = posted.Take(1);
    ASSERT_TRUE(std::holds_alternative<InstallerChecked>(first));
    ASSERT_TRUE(std::holds_alternative<InstallerChecked>(second));
    EXPECT_EQ(std::get<InstallerChecked>(first).check.gameName, u"ga");
    EXPECT_TRUE(std::get<InstallerChecked>(first).check.passed);
    EXPECT_EQ(std::get<InstallerChecked>(second).check.gameName, u"gb");
    EXPECT_FALSE(std::get<InstallerChecked>(second).check.passed);
}

}  // namespace
