#include "app/CVelkDownloaderApp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "core/TextUtil.h"
#include "platform/DesktopEntries.h"
#include "support/LogCapture.h"
#include "support/TempHome.h"
#include "support/WaitFor.h"

namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

class RecordingUi : public StartupUi {
public:
    void ShowError(const std::u16string& text) override { errors.push_back(text); }
    std::vector<std::u16string> errors;
};

void WriteText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::u16string Wide(const fs::path& path) {
    return Utf8ToWide(path.string());
}

std::string ReadFileForTest(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A home of its own with the user's store in it, and the settings key ready to be filled.
struct Fixture {
    TempHome home;
    std::shared_ptr<Registry> registry = Registry::Open(Registry::DefaultPath());
    std::optional<RegistryKey> settings =
        RegistryKey::Create(registry, CVelkDownloaderApp::kSettingsKeyPath);
    RecordingUi ui;

    CVelkDownloaderApp::Options Options(std::u16string commandLine = {}) const {
        CVelkDownloaderApp::Options options;
        options.registry = registry;
        options.commandLine = std::move(commandLine);
        options.programPath = "/opt/velk/velkdownloader";
        options.handOffWait = milliseconds(5000);
        return options;
    }
};

TEST(CVelkDownloaderApp, ConcurrentConnectionsAreClampedWhenLoaded) {
    struct Case {
        std::optional<uint32_t> dword;
        bool storeAsText;
        int32_t expected;
    };
    const Case cases[] = {
        {0u, false, 1},           {1u, false, 1},           {20u, false, 20},
        {21u, false, 20},         {0xFFFFFFFFu, false, 20}, {0x80000000u, false, 20},
        {std::nullopt, false, 6}, {std::nullopt, true, 6},
    };
    for (const Case& c : cases) {
        Fixture f;
        ASSERT_TRUE(f.settings);
        if (c.dword) {
            ASSERT_TRUE(f.settings->SetDword(u"ConcurrentConnections", *c.dword));
        }
        if (c.storeAsText) {
            ASSERT_TRUE(f.settings->SetString(u"ConcurrentConnections", u"12"));
        }
        CVelkDownloaderApp app(f.ui, f.Options());
        EXPECT_EQ(app.GetConcurrentConnections(), -1);
        ASSERT_EQ(app.InitInstance(), StartupOutcome::RunWindow);
        EXPECT_EQ(app.GetConcurrentConnections(), c.expected) << c.dword.value_or(999);
    }
}

TEST(CVelkDownloaderApp, ConcurrentConnectionsAreLoadedOnlyWhileUnset) {
    Fixture f;
    ASSERT_TRUE(f.settings->SetDword(u"ConcurrentConnections", 3));
    CVelkDownloaderApp app(f.ui, f.Options());
    app.SetConcurrentConnections(9);
    ASSERT_EQ(app.InitInstance(), StartupOutcome::RunWindow);
    EXPECT_EQ(app.GetConcurrentConnections(), 9);
}

TEST(CVelkDownloaderApp, StoredDownloadFolderIsReadAndNormalised) {
    struct Case {
        std::optional<std::u16string> stored;
        std::optional<std::u16string> expected;  // nullopt: the default folder
    };
    const Case cases[] = {
        {u"D:/Games//New", u"D:/Games/New/"},
        {u"/srv\\\\games//x", u"/srv/games/x/"},
        {u"/srv/games/", u"/srv/games/"},
        {u"", u"/"},
        {u"/" + std::u16string(259, u'a'), u"/" + std::u16string(259, u'a') + u"/"},
        {u"/" + std::u16string(260, u'a'), std::nullopt},
        {std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        Fixture f;
        if (c.stored) {
            ASSERT_TRUE(f.settings->SetString(u"DownloadFolder", *c.stored));
        }
        CVelkDownloaderApp app(f.ui, f.Options());
        ASSERT_EQ(app.InitInstance(), StartupOutcome::RunWindow);
        const std::u16string fallback = Wide(f.home.Home() / "Documents/Velkora Downloads/");
        EXPECT_EQ(app.GetDownloadFolder(), c.expected.value_or(fallback));
        // Only the default folder is made; a stored one is the user's business.
        EXPECT_EQ(fs::is_directory(f.home.Home() / "Documents/Velkora Downloads"),
                  !c.expected.has_value());
        EXPECT_TRUE(f.ui.errors.empty());
    }
}

TEST(CVelkDownloaderApp, DefaultFoldersFollowTheUserDirectoriesAndAreCreatedWithParents) {
    Fixture f;
    WriteText(f.home.ConfigHome() / "user-dirs.dirs",
              "XDG_DOCUMENTS_DIR=\"$HOME/My Files/Docs/\"\n");
    ASSERT_FALSE(fs::exists(f.home.DataHome()));
    CVelkDownloaderApp app(f.ui, f.Options());
    ASSERT_EQ(app.InitInstance(), StartupOutcome::RunWindow);
    EXPECT_EQ(app.GetDownloadFolder(), Wide(f.home.Home() / "My Files/Docs/Velkora Downloads/"));
    EXPECT_TRUE(fs::is_directory(f.home.Home() / "My Files/Docs/Velkora Downloads"));
    EXPECT_EQ(app.GetDataFolder(), Wide(f.home.DataHome() / "VelkDownloader/"));
    EXPECT_TRUE(fs::is_directory(f.home.DataHome() / "VelkDownloader"));
}

TEST(CVelkDownloaderApp, SetDownloadFolderPersistsOnlyWhenAsked) {
    Fixture f;
    {
        CVelkDownloaderApp app(f.ui, f.Options());
        ASSERT_EQ(app.InitInstance(), StartupOutcome::RunWindow);
        ASSERT_TRUE(app.SetDownloadFolder(u"/media/games\\new", false));
        EXPECT_EQ(app.GetDownloadFolder(), u"/media/games/new/");
        EXPECT_FALSE(f.settings->QueryString(u"DownloadFolder"));
        ASSERT_TRUE(app.SetDownloadFolder(u"/media//games", true));
        EXPECT_EQ(f.settings->QueryString(u"DownloadFolder"), u"/media/games/");
        EXPECT_EQ(app.ExitInstance(), 0);
        EXPECT_EQ(app.SettingsKey(), nullptr);
    }
    CVelkDownloaderApp next(f.ui, f.Options());
    ASSERT_EQ(next.InitInstance(), StartupOutcome::RunWindow);
    EXPECT_EQ(next.GetDownloadFolder(), u"/media/games/");
}

TEST(CVelkDownloaderApp, AFolderThatCannotBeMadeIsShownAndEndsStartUp) {
    {
        Fixture f;
        // The documents folder lies below a plain file.
        WriteText(f.home.Home() / "blocker", "x");
        WriteText(f.home.ConfigHome() / "user-dirs.dirs",
                  "XDG_DOCUMENTS_DIR=\"$HOME/blocker/Documents\"\n");
        CVelkDownloaderApp app(f.ui, f.Options());
        EXPECT_EQ(app.InitInstance(), StartupOutcome::Failed);
        ASSERT_EQ(f.ui.errors.size(), 1u);
        EXPECT_EQ(f.ui.errors[0], u"Cannot create folder " +
                                      Wide(f.home.Home() / "blocker/Documents/Velkora Downloads/"));
        EXPECT_FALSE(fs::exists(f.home.DataHome() / "VelkDownloader"));
        // It never got as far as claiming to be the first instance.
        InstanceLock lock;
        EXPECT_EQ(lock.Acquire(), InstanceLock::Result::First);
    }
    {
        Fixture f;
        WriteText(f.home.DataHome(), "x");
        CVelkDownloaderApp app(f.ui, f.Options());
        EXPECT_EQ(app.InitInstance(), StartupOutcome::Failed);
        ASSERT_EQ(f.ui.errors.size(), 1u);
        EXPECT_EQ(f.ui.errors[0],
                  u"Cannot create folder " + Wide(f.home.DataHome() / "VelkDownloader/"));
        EXPECT_TRUE(fs::is_directory(f.home.Home() / "Documents/Velkora Downloads"));
    }
}

TEST(CVelkDownloaderApp, LoadsDebugFlags) {
    for (const std::optional<uint32_t> stored :
         {std::optional<uint32_t>(3), std::optional<uint32_t>()}) {
        Fixture f;
        SetDebugFlags(0xAA);
        if (stored) {
            ASSERT_TRUE(f.settings->SetDword(u"Debug", *stored));
        }
        CVelkDownloaderApp app(f.ui, f.Options());
        ASSERT_EQ(app.InitInstance(), StartupOutcome::RunWindow);
        EXPECT_EQ(DebugFlags(), stored.value_or(0));
    }
}

TEST(CVelkDownloaderApp, FirstInstanceRegistersItselfAndReceivesLaterStarts) {
    Fixture f;
    CVelkDownloaderApp first(f.ui, f.Options());
    ASSERT_EQ(first.InitInstance(), StartupOutcome::RunWindow);
    EXPECT_NE(ReadFileForTest(UrlHandlerEntryPath()).find("Exec=/opt/velk/velkdownloader %u\n"),
              std::string::npos);
    ASSERT_NE(first.HandOff(), nullptr);
    std::atomic<int> notifies{0};
    first.HandOff()->Start([&] { notifies.fetch_add(1); });

    {
        CVelkDownloaderApp second(f.ui, f.Options(u"\"velkdownloader://mygame\" /minimized"));
        EXPECT_EQ(second.InitInstance(), StartupOutcome::SecondInstance);
        EXPECT_EQ(second.LastHandOffResult(), HandOffSendResult::Delivered);
        EXPECT_EQ(second.HandOff(), nullptr);
    }
    ASSERT_TRUE(WaitFor([&] { return notifies.load() == 1; }));
    EXPECT_EQ(first.HandOff()->ReadBlock(), u"\"velkdownloader://mygame\" /minimized");

    // The window hasn't given the token back: the next start gives up quietly.
    CVelkDownloaderApp::Options shortWait = f.Options(u"velkdownloader://other");
    shortWait.handOffWait = milliseconds(100);
    CVelkDownloaderApp third(f.ui, shortWait);
    EXPECT_EQ(third.InitInstance(), StartupOutcome::SecondInstance);
    EXPECT_EQ(third.LastHandOffResult(), HandOffSendResult::TimedOut);
    EXPECT_TRUE(f.ui.errors.empty());

    // Once the first instance has shut down, the next start is the first again.
    first.Shutdown();
    CVelkDownloaderApp fourth(f.ui, f.Options());
    EXPECT_EQ(fourth.InitInstance(), StartupOutcome::RunWindow);
}

TEST(CVelkDownloaderApp, SecondInstanceWithoutHandOffObjectsShowsTheErrorAfterItsWait) {
    Fixture f;
    InstanceLock running;  // a first instance that never made its hand-off objects
    ASSERT_EQ(running.Acquire(), InstanceLock::Result::First);
    CVelkDownloaderApp::Options options = f.Options(u"velkdownloader://x");
    options.lockHolderWait = milliseconds(200);
    CVelkDownloaderApp app(f.ui, options);
    EXPECT_EQ(app.InitInstance(), StartupOutcome::Failed);
    ASSERT_EQ(f.ui.errors.size(), 1u);
    EXPECT_EQ(f.ui.errors[0], u"Could not open interprocess handle.");
}

// A holder of the lock that never makes hand-off objects (a short command of the command-line
// program) and lets go a moment later: the start waits for it and becomes the first instance,
// instead of failing because it came at the wrong moment.
TEST(CVelkDownloaderApp, AStartWhileABriefHolderHasTheLockBecomesTheFirstOnceItIsFree) {
    Fixture f;
    InstanceLock brief;
    ASSERT_EQ(brief.Acquire(), InstanceLock::Result::First);
    std::thread release([&brief] {
        std::this_thread::sleep_for(milliseconds(300));
        brief.Release();
    });
    CVelkDownloaderApp app(f.ui, f.Options(u"velkdownloader://x"));
    const StartupOutcome outcome = app.InitInstance();
    release.join();
    EXPECT_EQ(outcome, StartupOutcome::RunWindow);
    EXPECT_TRUE(f.ui.errors.empty());
    EXPECT_NE(app.HandOff(), nullptr);
    app.Shutdown();
}

TEST(CVelkDownloaderApp, AnInstanceLockThatCannotBeTakenEndsStartUpWithTheReason) {
    Fixture f;
    setenv("XDG_RUNTIME_DIR", (f.home.Root() / "missing").c_str(), 1);
    LogCapture log;
    CVelkDownloaderApp app(f.ui, f.Options(u"velkdownloader://x"));
    EXPECT_EQ(app.InitInstance(), StartupOutcome::Failed);
    ASSERT_EQ(f.ui.errors.size(), 1u);
    const std::u16string& error = f.ui.errors[0];
    EXPECT_EQ(error.rfind(u"Cannot tell whether VelkDownloader is already running", 0), 0u);
    EXPECT_NE(error.find(Wide(f.home.Root() / "missing/velkdownloader.lock")), std::u16string::npos)
        << WideToUtf8(error);
    EXPECT_EQ(log.Messages(LogCapture::Level::Error), std::vector<std::u16string>{error});
    EXPECT_EQ(app.HandOff(), nullptr);
}

TEST(CVelkDownloaderApp, StartsWithDefaultsWhenTheStoreOrTheUrlHandlerCannotBeWritten) {
    TempHome home;
    WriteText(home.ConfigHome() / "VelkDownloader", "not a folder");  // the store can't open
    WriteText(home.DataHome() / "applications", "not a folder");      // nor the handler entry
    RecordingUi ui;
    CVelkDownloaderApp::Options options;
    options.programPath = "/opt/velk/velkdownloader";
    CVelkDownloaderApp app(ui, options);
    ASSERT_EQ(app.InitInstance(), StartupOutcome::RunWindow);
    EXPECT_EQ(app.SettingsKey(), nullptr);
    EXPECT_EQ(app.GetConcurrentConnections(), 6);
    EXPECT_EQ(app.GetDownloadFolder(), Wide(home.Home() / "Documents/Velkora Downloads/"));
    EXPECT_FALSE(app.SetDownloadFolder(u"/x", true));
    EXPECT_TRUE(ui.errors.empty());
}

TEST(CVelkDownloaderApp, RunAtStartupNamesTheProgram) {
    Fixture f;
    CVelkDownloaderApp app(f.ui, f.Options());
    ASSERT_TRUE(app.SetRunAtStartup(true));
    EXPECT_NE(
        ReadFileForTest(AutostartEntryPath()).find("Exec=\"/opt/velk/velkdownloader\" /minimized"),
        std::string::npos);
    ASSERT_TRUE(app.SetRunAtStartup(false));
    EXPECT_FALSE(IsRunAtStartup());
}

}  // namespace
