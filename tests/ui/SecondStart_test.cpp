// A second start of the real program while the window runs: it hands its command line over and
// ends, and the window adds the game, but only while online and signed in. Either way the token
// comes back, so the next start is not kept waiting.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>

#include <chrono>
#include <string>
#include <vector>

#include "controls/ProgressListView.h"
#include "support/WindowFixture.h"
#include "ui/CLoginDlg.h"

extern char** environ;

namespace {

// Starts the program with `url` and returns its exit code once it ended (-1 if it is still running
// after the limit; it is killed then). The window's events keep flowing meanwhile.
int RunSecondStart(const std::string& url,
                   std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::vector<std::string> args = {VELK_GUI_PROGRAM, url};
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        ADD_FAILURE() << "cannot start " << VELK_GUI_PROGRAM;
        return -1;
    }
    int status = 0;
    const bool ended = PumpUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class SecondStartTest : public ::testing::Test, public WindowFixture {};

TEST_F(SecondStartTest, ASecondStartHandsItsGameToTheRunningWindow) {
    StoreSignIn();
    CVelkDownloaderDlg& window = StartWindow();
    ASSERT_TRUE(SignedInAndOnline());
    EXPECT_EQ(window.List()->RowCount(), 0);

    EXPECT_EQ(RunSecondStart("velkdownloader://single-file-game/"), 0);
    ASSERT_TRUE(PumpUntil([&] { return window.List()->FindRow(u"single-file-game") >= 0; }));
    EXPECT_NE(Lifecycle().FindItem(u"single-file-game"), nullptr);
    // The record is stored at once, as for the window's own command line.
    std::optional<RegistryKey> records = RegistryKey::Open(
        registry, std::u16string(CVelkDownloaderApp::kSettingsKeyPath) + u"\\Downloads");
    ASSERT_TRUE(records);
    EXPECT_TRUE(records->Query(u"single-file-game"));

    // The token came back: another start is taken at once, too.
    EXPECT_EQ(RunSecondStart("velkdownloader://demo-game"), 0);
    ASSERT_TRUE(PumpUntil([&] { return window.List()->FindRow(u"demo-game") >= 0; }));
}

TEST_F(SecondStartTest, HostileNamesFromASecondStartAreRefused) {
    StoreSignIn();
    CVelkDownloaderDlg& window = StartWindow();
    ASSERT_TRUE(SignedInAndOnline());
    // The window is visible: each refusal is told in a warning box (one already open keeps
    // the next from showing), with the name as plain text and cut short.
    std::vector<QString> texts;
    DialogAnswerer<QMessageBox> ok([&](QMessageBox& box) {
        texts.push_back(box.text());
        EXPECT_EQ(box.textFormat(), Qt::PlainText);
        box.button(QMessageBox::Ok)->click();
    });
    const std::string longName(6000, 'a');
    for (const std::string& url :
         {std::string("velkdownloader://..%2F..%2Fetc"), std::string("velkdownloader://$(id)"),
          std::string("velkdownloader://a;rm -rf ~"), std::string("velkdownloader://..\\x"),
          "velkdownloader://" + longName}) {
        EXPECT_EQ(RunSecondStart(url), 0) << url.substr(0, 60);
    }
    // The last start took the token the one before gave back: every block was read and refused.
    PumpFor(std::chrono::milliseconds(300));
    EXPECT_EQ(window.List()->RowCount(), 0);
    EXPECT_TRUE(Lifecycle().Items().empty());
    ASSERT_FALSE(texts.empty());
    for (const QString& text : texts) {
        EXPECT_TRUE(text.startsWith(QStringLiteral("The game link names \"")))
            << text.toStdString();
        EXPECT_LT(text.size(), 200) << text.toStdString();
    }
    std::optional<RegistryKey> records = RegistryKey::Open(
        registry, std::u16string(CVelkDownloaderApp::kSettingsKeyPath) + u"\\Downloads");
    EXPECT_TRUE(!records || !records->EnumValue(0));
}

TEST_F(SecondStartTest, WhileSignedOutASecondStartIsIgnoredButTheTokenComesBack) {
    DialogAnswerer<CLoginDlg> login([](CLoginDlg& dialog) { dialog.CancelButton()->click(); });
    CVelkDownloaderDlg& window = StartWindow();
    ASSERT_TRUE(PumpUntil([&] { return Lifecycle().Online() && login.Count() == 1; }));
    ASSERT_FALSE(Lifecycle().SignedIn());

    for (const char* url : {"velkdownloader://single-file-game", "velkdownloader://demo-game"}) {
        // Each start ends well before the 60 s it would wait for a token that never came back.
        EXPECT_EQ(RunSecondStart(url), 0) << url;
    }
    PumpFor(std::chrono::milliseconds(300));
    EXPECT_EQ(window.List()->RowCount(), 0);
    EXPECT_TRUE(Lifecycle().Items().empty());
}

}  // namespace
