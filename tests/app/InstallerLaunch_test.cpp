// An installer is started only while the file on disk is the one that passed its whole-file check
// in this run: finished by the engine now, or read and checked again first.
#include <gtest/gtest.h>

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
        auto check = std::make_unique<InstallerCheck>();
        check->gameName = u"g";
        check->path = Utf8ToWide(Path());
        check->expectedDigest = u"expected";
        check->digest = passed ? u"expected" : u"other";
        check->passed = passed;
        if (passed) {
            check->identity = IdentityOfPath(Path());
        }
        rig.lifecycle.HandleMessage(MakeMessage(WM_APP_INSTALLER_CHECKED, std::move(check)));
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
    r.rig.lifecycle.HandleMessage(Named(WM_APP_ITEM_FINISHED, u"g"));
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

}  // namespace
