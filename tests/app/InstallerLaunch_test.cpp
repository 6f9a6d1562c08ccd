// An installer is started only while the file on disk is the one that passed its whole-file check
// in this run: finished by the engine now, or read and checked again first.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "app/ItemLifecycle.h"
#include "app/LifecycleFakes.h"
#include "core/TextUtil.h"
#include "engine/Md5Context.h"
#include "support/FileFixtures.h"

namespace fs = std::filesystem;

namespace {

constexpr char kInstallerBytes[] = "#!/bin/sh\necho installing\n";

struct InstallerRig {
    InstallerRig() {
        rig.downloads = Utf8ToWide(rig.home.Root().string() + "/games/");
        rig.Connect();
        WriteFile(Installer(), kInstallerBytes);
        EXPECT_EQ(rig.lifecycle.AddItemFromUrl(u"g"), ItemLifecycle::AddResult::Added);
        rig.lifecycle.HandleMessage(Details(u"g", {sizeof kInstallerBytes - 1}));
        rig.lifecycle.FindItem(u"g")->files[0].md5 = u"expected";  // from its chunk index
        rig.calls.clear();
    }

    fs::path Installer() const { return rig.home.Root() / "games/g/file0.bin"; }
    std::string Path() const { return Installer().string(); }

    // The item as a run that completed it earlier leaves it: completed, with the digest that
    // its chunk index gives, but checked in no run of this program.
    DownloadInfo& CompletedEarlier(const std::u16string& digest) {
        DownloadInfo& item = *rig.lifecycle.FindItem(u"g");
        item.state = ItemState::Completed;
        item.completed = true;
        item.installer = item.files[0].name;
        item.files[0].md5 = digest;
        return item;
    }

    void Click() { rig.lifecycle.OnRowCommand(WM_APP_RUN_INSTALLER, u"g", 0); }

    // The check thread's answer for the installer as it is now.
    void Answer(bool passed) {
        InstallerChecked answer;
        InstallerCheck& check = answer.check;
        check.gameName = u"g";
        check.path = Utf8ToWide(Path());
        check.expectedDigest = u"expected";
        check.digest = passed ? u"expected" : u"other";
        check.passed = passed;
        if (passed) {
            check.identity = IdentityOfPath(Path());
        }
        rig.lifecycle.HandleMessage(std::move(answer));
    }

    size_t Count(const std::string& prefix) const {
        size_t count = 0;
        for (const std::string& call : rig.calls) {
            count += call.rfind(prefix, 0) == 0 ? 1u : 0u;
        }
        return count;
    }

    LifecycleRig rig;
};

TEST(InstallerLaunch, AGameCompletedEarlierIsCheckedBeforeItsInstallerStarts) {
    InstallerRig r;
    r.CompletedEarlier(u"expected");
    const std::string check = "CheckInstaller g " + r.Path() + " expected";

    // Two clicks while the check runs ask for one check and start nothing.
    r.Click();
    r.Click();
    EXPECT_EQ(r.rig.calls, std::vector<std::string>{check});

    // A file that fails its check is not started, and the user is told.
    r.Answer(false);
    EXPECT_EQ(r.Count("RunInstaller"), 0u);
    EXPECT_EQ(r.Count("AskUser 48 The installer of Title of g has changed"), 1u);

    // The next click checks again; once it passed, the file starts, and starts again at once
    // while it stays the same.
    r.rig.calls.clear();
    r.Click();
    EXPECT_EQ(r.rig.calls, std::vector<std::string>{check});
    r.Answer(true);
    r.Click();
    EXPECT_EQ(r.rig.calls, (std::vector<std::string>{check, "RunInstaller " + r.Path(),
                                                     "RunInstaller " + r.Path()}));

    // Changed on disk since: checked again, not started.
    r.rig.calls.clear();
    WriteFile(r.Installer(), std::string(kInstallerBytes) + "rm -rf ~\n");
    r.Click();
    EXPECT_EQ(r.rig.calls, std::vector<std::string>{check});
}

// While the check runs the row shows it, with its progress and the active look, and no refresh
// of the row in between takes that away; when it ends the row is "completed." again.
TEST(InstallerLaunch, TheRowShowsTheCheckAndItsProgressUntilItEnds) {
    InstallerRig r;
    DownloadInfo& item = r.CompletedEarlier(u"expected");
    item.files[0].size = 4 * 1048576;
    item.total = item.files[0].size;
    r.rig.lifecycle.UpdateRow(item);
    ASSERT_EQ(r.rig.rows.Of(u"g").state, RowReady);
    r.Click();
    const auto row = [&]() -> const FakeRowView::Row& { return r.rig.rows.Of(u"g"); };
    EXPECT_EQ(Narrow(row().status), "0 MB of 4 MB - integrity check (0.00%)");
    EXPECT_EQ(row().state, RowActiveNoProgress);
    EXPECT_TRUE(row().linkText.empty());

    r.rig.lifecycle.HandleMessage(InstallerCheckProgress{.gameName = u"g", .byteCount = 1048576});
    r.rig.lifecycle.SelectActiveItem();  // refreshes every row
    EXPECT_EQ(Narrow(row().status), "1 MB of 4 MB - integrity check (25.00%)");
    EXPECT_EQ(row().segments.at(0).kind, SegmentKind::Checking);
    EXPECT_FLOAT_EQ(row().segments.at(0).fill, 0.25f);
    // The row's button means "busy" now: it pauses nothing.
    r.rig.lifecycle.OnRowCommand(row().button, u"g", 0);
    EXPECT_FALSE(r.rig.lifecycle.Paused());

    r.Answer(true);
    EXPECT_EQ(Narrow(row().status), "4 MB of 4 MB - completed. ");
    EXPECT_EQ(row().state, RowReady);
    EXPECT_EQ(Narrow(row().linkText), "INSTALL");
    EXPECT_EQ(row().segments.at(0).kind, SegmentKind::Downloading);
    EXPECT_EQ(r.Count("RunInstaller "), 1u);

    // A check that fails shows the failure and leaves the row completed as well.
    std::filesystem::last_write_time(
        r.Installer(), std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
    r.Click();
    ASSERT_EQ(row().state, RowActiveNoProgress);
    r.Answer(false);
    EXPECT_EQ(row().state, RowReady);
    EXPECT_EQ(r.Count("AskUser "), 1u);
}

TEST(InstallerLaunch, WithoutAKnownDigestNothingIsStarted) {
    InstallerRig r;
    r.CompletedEarlier(u"");
    r.Click();
    EXPECT_EQ(r.Count("RunInstaller"), 0u);
    EXPECT_EQ(r.Count("CheckInstaller"), 0u);
    EXPECT_EQ(r.Count("AskUser 48 The installer of Title of g cannot be checked yet"), 1u);
}

TEST(InstallerLaunch, AGameFinishedInThisRunStartsUntilItsInstallerChanges) {
    InstallerRig r;
    r.rig.lifecycle.SetAutomaticInstall(true);
    r.rig.lifecycle.HandleMessage(ItemFinished{u"g", false});
    r.Click();
    r.rig.lifecycle.RunReadyInstaller();  // the balloon's click
    EXPECT_EQ(r.rig.calls,
              (std::vector<std::string>{"RunInstaller " + r.Path(), "RunInstaller " + r.Path(),
                                        "RunInstaller " + r.Path()}));

    // Replaced by another file: the next start waits for a check, the balloon's too.
    r.rig.calls.clear();
    fs::remove(r.Installer());
    WriteFile(r.Installer(), "#!/bin/sh\necho something else\n");
    r.rig.lifecycle.RunReadyInstaller();
    EXPECT_EQ(r.Count("RunInstaller"), 0u);
    EXPECT_EQ(r.Count("CheckInstaller g " + r.Path()), 1u);

    // An answer for an item that is gone by then starts nothing.
    r.rig.lifecycle.RemoveItemRecord(u"g");
    r.Answer(true);
    EXPECT_EQ(r.Count("RunInstaller"), 0u);
}

// The ready button, the row's "INSTALL" link and the context menu's "Launch Installer" start an
// installer only through the same check.
TEST(InstallerLaunch, EveryEntryPointStartsOnlyACheckedInstaller) {
    struct EntryPoint {
        const char* name;
        void (*use)(InstallerRig&);
    };
    const EntryPoint entryPoints[] = {
        {"ready button", [](InstallerRig& r) { r.Click(); }},
        {"INSTALL link",
         [](InstallerRig& r) {
             const FakeRowView::Row& row = r.rig.rows.Of(u"g");
             r.rig.lifecycle.OnRowCommand(WM_APP_OPEN_LINK, row.linkTarget,
                                          r.rig.rows.FindRow(u"g"));
         }},
        {"Launch Installer",
         [](InstallerRig& r) {
             r.rig.lifecycle.OnRowCommand(WM_APP_OPEN_LINK, r.rig.rows.Of(u"g").linkTarget, 0);
         }},
    };
    enum class Before { PassedNow, ChangedSince, NotCheckedThisRun, NotARegularFileAtFinish };
    struct Case {
        const char* name;
        Before before;
        bool answerPasses;                  // when a check is asked for: the check thread's answer
        std::vector<std::string> expected;  // the calls, with @ for the installer's path
    };
    const Case cases[] = {
        {"passed in this run", Before::PassedNow, false, {"RunInstaller @"}},
        {"changed since it passed",
         Before::ChangedSince,
         false,
         {"CheckInstaller g @ expected",
          "AskUser 48 The installer of Title of g has changed since it was downloaded, so it was "
          "not started. Remove the game with its files and download it again."}},
        {"not checked in this run",
         Before::NotCheckedThisRun,
         true,
         {"CheckInstaller g @ expected", "RunInstaller @"}},
        {"not a regular file when it finished",
         Before::NotARegularFileAtFinish,
         false,
         {"CheckInstaller g @ expected",
          "AskUser 48 The installer of Title of g has changed since it was downloaded, so it was "
          "not started. Remove the game with its files and download it again."}},
    };
    for (const EntryPoint& entry : entryPoints) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(entry.name) + ", " + c.name);
            InstallerRig r;
            switch (c.before) {
                case Before::PassedNow:
                    r.rig.lifecycle.HandleMessage(ItemFinished{u"g", false});
                    break;
                case Before::ChangedSince:
                    r.rig.lifecycle.HandleMessage(ItemFinished{u"g", false});
                    fs::remove(r.Installer());
                    WriteFile(r.Installer(), "#!/bin/sh\necho something else\n");
                    break;
                case Before::NotCheckedThisRun:
                    r.rig.lifecycle.UpdateRow(r.CompletedEarlier(u"expected"));
                    break;
                case Before::NotARegularFileAtFinish: {
                    // A link in the installer's place when the engine reported it: what it leads
                    // to later was never checked.
                    const fs::path target = r.rig.home.Root() / "elsewhere.sh";
                    fs::rename(r.Installer(), target);
                    fs::create_symlink(target, r.Installer());
                    r.rig.lifecycle.HandleMessage(ItemFinished{u"g", false});
                    break;
                }
            }
            ASSERT_EQ(Narrow(r.rig.rows.Of(u"g").linkTarget), r.Path());
            r.rig.calls.clear();
            entry.use(r);
            if (r.Count("CheckInstaller") > 0) {
                EXPECT_EQ(r.Count("RunInstaller"), 0u) << "started before its check answered";
                r.Answer(c.answerPasses);
            }
            std::vector<std::string> expected;
            for (std::string call : c.expected) {
                const size_t at = call.find('@');
                if (at != std::string::npos) {
                    call.replace(at, 1, r.Path());
                }
                expected.push_back(call);
            }
            EXPECT_EQ(r.rig.calls, expected);
        }
    }
}

}  // namespace
