#include "platform/DesktopEntries.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/TempHome.h"

namespace fs = std::filesystem;

namespace {

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

TEST(DesktopEntries, QuotesExecArgumentsByTheDesktopEntryRules) {
    const std::pair<std::string, std::string> cases[] = {
        {"/usr/bin/velkdownloader", "/usr/bin/velkdownloader"},
        {"/opt/Velk Downloader/velk", "\"/opt/Velk Downloader/velk\""},
        // Inside quotes: \" \` \$ \\, then the string escape doubles each backslash.
        {"/o/a\"b", "\"/o/a\\\\\"b\""},
        {"/o/$x`y", "\"/o/\\\\$x\\\\`y\""},
        {"/o/back\\slash", "\"/o/back\\\\\\\\slash\""},
        {"/o/100%", "/o/100%%"},
        {"", "\"\""},
    };
    for (const auto& [argument, expected] : cases) {
        EXPECT_EQ(QuoteExecArgument(argument), expected) << argument;
    }
    EXPECT_EQ(QuoteExecArgument("/usr/bin/velk", true), "\"/usr/bin/velk\"");
}

TEST(DesktopEntries, RegistersTheUrlHandlerInAFreshHome) {
    TempHome home;
    ASSERT_TRUE(RegisterUrlScheme("/opt/Velk Apps/velkdownloader"));
    EXPECT_EQ(UrlHandlerEntryPath(), home.DataHome() / "applications/velkdownloader.desktop");
    EXPECT_EQ(ReadText(UrlHandlerEntryPath()),
              "[Desktop Entry]\n"
              "Type=Application\n"
              "Name=VelkDownloader\n"
              "Exec=\"/opt/Velk Apps/velkdownloader\" %u\n"
              "MimeType=x-scheme-handler/velkdownloader;\n"
              "NoDisplay=true\n"
              "Terminal=false\n");
    EXPECT_EQ(ReadText(home.ConfigHome() / "mimeapps.list"),
              "[Default Applications]\n"
              "x-scheme-handler/velkdownloader=velkdownloader.desktop\n");
}

TEST(DesktopEntries, KeepsEveryOtherLineOfMimeAppsList) {
    struct Case {
        std::string before;
        std::string after;
    };
    const std::string ours = "x-scheme-handler/velkdownloader=velkdownloader.desktop\n";
    const Case cases[] = {
        // Added at the end of the existing defaults section, before its trailing blank line.
        {"[Added Associations]\ntext/plain=gedit.desktop;\n\n[Default Applications]\n"
         "text/html=firefox.desktop\n# keep me\n\n[Removed Associations]\nimage/png=x.desktop;\n",
         "[Added Associations]\ntext/plain=gedit.desktop;\n\n[Default Applications]\n"
         "text/html=firefox.desktop\n# keep me\n" +
             ours + "\n[Removed Associations]\nimage/png=x.desktop;\n"},
        // An older handler is replaced in place; a duplicate is dropped.
        {"[Default Applications]\nx-scheme-handler/velkdownloader=old.desktop\na/b=c.desktop\n"
         " x-scheme-handler/velkdownloader = other.desktop\n",
         "[Default Applications]\n" + ours + "a/b=c.desktop\n"},
        // The same key in another section is not ours to touch.
        {"[Added Associations]\nx-scheme-handler/velkdownloader=old.desktop;\n",
         "[Added Associations]\nx-scheme-handler/velkdownloader=old.desktop;\n\n"
         "[Default Applications]\n" +
             ours},
        // No trailing newline.
        {"[Default Applications]\na/b=c.desktop", "[Default Applications]\na/b=c.desktop\n" + ours},
    };
    for (const Case& c : cases) {
        TempHome home;
        WriteText(home.ConfigHome() / "mimeapps.list", c.before);
        ASSERT_TRUE(RegisterUrlScheme("/usr/bin/velkdownloader"));
        EXPECT_EQ(ReadText(home.ConfigHome() / "mimeapps.list"), c.after) << c.before;
        // A second start changes nothing.
        ASSERT_TRUE(RegisterUrlScheme("/usr/bin/velkdownloader"));
        EXPECT_EQ(ReadText(home.ConfigHome() / "mimeapps.list"), c.after) << c.before;
    }
}

TEST(DesktopEntries, WritesThroughASymlinkedMimeAppsList) {
    TempHome home;
    const fs::path real = home.Home() / "dotfiles/mimeapps.list";
    WriteText(real, "[Default Applications]\na/b=c.desktop\n");
    fs::create_directories(home.ConfigHome());
    fs::create_symlink(real, home.ConfigHome() / "mimeapps.list");
    ASSERT_TRUE(RegisterUrlScheme("/usr/bin/velkdownloader"));
    EXPECT_TRUE(fs::is_symlink(home.ConfigHome() / "mimeapps.list"));
    EXPECT_EQ(ReadText(real),
              "[Default Applications]\na/b=c.desktop\n"
              "x-scheme-handler/velkdownloader=velkdownloader.desktop\n");
}

TEST(DesktopEntries, AFailedWriteIsReportedAndLeavesNoTemporaryFile) {
    TempHome home;
    // A folder in place of the entry: the temporary file is written but can't be renamed.
    const fs::path blocker = AutostartEntryPath();
    fs::create_directories(blocker);
    WriteText(blocker / "keep", "x");
    EXPECT_FALSE(SetRunAtStartup(true, "/usr/bin/velkdownloader"));
    EXPECT_FALSE(IsRunAtStartup());
    for (const auto& entry : fs::directory_iterator(blocker.parent_path())) {
        EXPECT_EQ(entry.path(), blocker);
    }
}

TEST(DesktopEntries, AutostartEntryExistsExactlyWhileOn) {
    TempHome home;
    EXPECT_FALSE(IsRunAtStartup());
    ASSERT_TRUE(SetRunAtStartup(true, "/opt/velk/velkdownloader"));
    EXPECT_TRUE(IsRunAtStartup());
    EXPECT_EQ(AutostartEntryPath(), home.ConfigHome() / "autostart/VelkDownloader.desktop");
    EXPECT_EQ(ReadText(AutostartEntryPath()),
              "[Desktop Entry]\n"
              "Type=Application\n"
              "Name=VelkDownloader\n"
              "Exec=\"/opt/velk/velkdownloader\" /minimized\n"
              "Terminal=false\n");
    // Switching on again follows the program to where it is now.
    ASSERT_TRUE(SetRunAtStartup(true, "/new place/velkdownloader"));
    EXPECT_NE(
        ReadText(AutostartEntryPath()).find("Exec=\"/new place/velkdownloader\" /minimized\n"),
        std::string::npos);
    ASSERT_TRUE(SetRunAtStartup(false, "/new place/velkdownloader"));
    EXPECT_FALSE(IsRunAtStartup());
    EXPECT_FALSE(fs::exists(AutostartEntryPath()));
    EXPECT_TRUE(SetRunAtStartup(false, "/new place/velkdownloader"));
}

TEST(DesktopEntries, CurrentProgramPathIsThisTest) {
    const fs::path program = CurrentProgramPath();
    ASSERT_FALSE(program.empty());
    EXPECT_TRUE(program.is_absolute());
    EXPECT_TRUE(fs::exists(program));
}

}  // namespace
