// A picture of the running window for people to look at: started on a real X display (Xvfb, see
// tests/CMakeLists.txt) against the local test store, with one game completed, one failed, one
// downloading and one waiting, and saved as a PNG under the build folder.
#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "app/RowView.h"
#include "controls/ProgressItem.h"
#include "controls/ProgressListView.h"
#include "support/WindowFixture.h"

namespace {

class WindowScreenshotTest : public ::testing::Test, public WindowFixture {};

TEST_F(WindowScreenshotTest, RunningWindowWithFourGames) {
    StoreSignIn();
    // A small game whose first chunk never matches its digest: it ends failed.
    store.AddGame(R"({"name":"broken-game","title":"Broken Game","owned":true,"files":[{"id":0,)"
                  R"("path":"broken/setup.bin","size":90000,"seed":"broken/0","chunk_size":65536,)"
                  R"("timestamp":"1714557700"}]})");
    store.SetFault(R"({"server":"cdn","path":"/secure/broken-game/broken/setup.bin.crc",)"
                   R"("fail_next":-1,"wrong_chunk":0})");
    // Slow enough to be caught mid-way.
    store.SetFault(R"({"server":"cdn","path_prefix":"/secure/demo-game/","fail_next":-1,)"
                   R"("rate":250000})");

    CVelkDownloaderDlg& window = StartWindow({"velkdownloader://single-file-game"});
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
    ASSERT_TRUE(ItemReaches(u"single-file-game", ItemState::Completed));
    ASSERT_EQ(Lifecycle().AddItemFromUrl(u"broken-game"), ItemLifecycle::AddResult::Added);
    ASSERT_TRUE(ItemReaches(u"broken-game", ItemState::Failed, std::chrono::seconds(60)));
    ASSERT_EQ(Lifecycle().AddItemFromUrl(u"demo-game"), ItemLifecycle::AddResult::Added);
    ASSERT_TRUE(ItemReaches(u"demo-game", ItemState::Downloading));
    ASSERT_EQ(Lifecycle().AddItemFromUrl(u"showcase-game"), ItemLifecycle::AddResult::Added);
    ASSERT_TRUE(PumpUntil([&] {
        const DownloadInfo* waiting = Lifecycle().FindItem(u"showcase-game");
        return waiting != nullptr && waiting->detailsReceived;
    }));
    // Some progress on the bar, and the speed in the status bar.
    PumpFor(std::chrono::milliseconds(2500));

    const std::vector<std::pair<std::u16string, ItemState>> expected = {
        {u"single-file-game", ItemState::Completed},
        {u"broken-game", ItemState::Failed},
        {u"demo-game", ItemState::Downloading},
        {u"showcase-game", ItemState::Paused},
    };
    for (const auto& [name, state] : expected) {
        const DownloadInfo* item = Lifecycle().FindItem(name);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->state, state) << WideToUtf8(name);
    }
    EXPECT_EQ(window.List()->RowCount(), 4);

    window.raise();
    window.activateWindow();
    PumpFor(std::chrono::milliseconds(300));
    const QPixmap shot = window.screen()->grabWindow(window.winId());
    ASSERT_FALSE(shot.isNull());
    const QImage image = shot.toImage();
    EXPECT_EQ(image.size(), window.size() * window.devicePixelRatio());
    // A real picture, not an empty frame: the header, rows and bars give many colours.
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3) {
        for (int x = 0; x < image.width(); x += 3) {
            colours.insert(image.pixel(x, y));
        }
    }
    EXPECT_GT(colours.size(), 50u);

    // The high-density run (QT_SCALE_FACTOR=2) keeps its picture beside the plain one.
    const char* scale = std::getenv("QT_SCALE_FACTOR");
    std::filesystem::path out = VELK_SCREENSHOT_PATH;
    if (scale != nullptr && std::string(scale) != "1") {
        out.replace_filename(out.stem().string() + "-" + scale + "x" + out.extension().string());
    }
    std::filesystem::create_directories(out.parent_path());
    ASSERT_TRUE(image.save(QString::fromStdString(out.string()), "PNG"));
    std::printf("Saved the window's picture as %s\n", out.c_str());
}

}  // namespace
