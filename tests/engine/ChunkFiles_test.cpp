#include "engine/ChunkFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "core/TextUtil.h"
#include "support/TempHome.h"

namespace {

TEST(ChunkFilesTest, PathsAreConcatenatedAndNormalised) {
    const std::u16string record = u"/home/u/Velkora Downloads/";
    const std::u16string data = u"/home/u/.local/share/VelkDownloader/";
    EXPECT_EQ(ChunkIndexPath(data, u"setup/game.exe"),
              u"/home/u/.local/share/VelkDownloader/setup/game.exe.crc");
    EXPECT_EQ(FinishedFilePath(record, u"setup/game.exe"),
              u"/home/u/Velkora Downloads/setup/game.exe");
    EXPECT_EQ(VerifiedChunkPath(record, u"game.exe", u"3"),
              u"/home/u/Velkora Downloads/game.exe.chunk3");
    EXPECT_EQ(VerifiedChunkPath(record, u"game.exe", int64_t{12}),
              u"/home/u/Velkora Downloads/game.exe.chunk12");
    EXPECT_EQ(PartialChunkPath(record, u"game.exe", u"0"),
              u"/home/u/Velkora Downloads/game.exe.chunk0_downloading");
    EXPECT_EQ(PartialChunkPath(record, u"game.exe", int64_t{4000000000}),
              u"/home/u/Velkora Downloads/game.exe.chunk4000000000_downloading");
    // The text form keeps the id as the index wrote it; the number form writes plain decimal.
    EXPECT_EQ(VerifiedChunkPath(record, u"g", u"007"), u"/home/u/Velkora Downloads/g.chunk007");
    EXPECT_EQ(VerifiedChunkPath(record, u"g", int64_t{-1}), u"/home/u/Velkora Downloads/g.chunk-1");
    // Backslashes and doubled separators from either part collapse to single "/".
    EXPECT_EQ(ChunkIndexPath(u"C:\\data\\\\", u"/a//b"), u"C:/data/a/b.crc");
    EXPECT_EQ(FinishedFilePath(u"/r//", u"x"), u"/r/x");
}

TEST(ChunkFilesTest, SafeRelativeNames) {
    const struct {
        std::u16string name;
        bool safe;
    } cases[] = {
        {u"game.exe", true},
        {u"setup/game.exe", true},
        {u"a/b/c/d.bin", true},
        {u"..a/b..", true},  // dots inside a segment are ordinary characters
        {u"a/.hidden", true},
        {u"Spiel f\u00FCr dich.exe", true},
        {u"", false},
        {u".", false},
        {u"..", false},
        {u"../x", false},
        {u"a/../../x", false},
        {u"a/./x", false},
        {u"a/..", false},
        {u"/abs", false},
        {u"a/", false},
        {u"a//b", false},
        {u"a\\..\\x", false},  // a backslash becomes a separator once normalised
        {u"a\\b", false},
        {u"a\nb", false},
        {u"a\rb", false},
        {u"a\tb", false},
        {u"a\x7F", false},
        {u"a\u0085b", false},
        {std::u16string(u"a\0b", 3), false},
        {std::u16string(1024, u'x'), true},
        {std::u16string(1025, u'x'), false},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(IsSafeRelativeName(cases[i].name), cases[i].safe) << "case " << i;
    }
}

}  // namespace

TEST(ChunkFilesTest, FoldersOnTheWayMustBeRealFolders) {
    TempDir dir;
    namespace fs = std::filesystem;
    fs::create_directories(dir.Path() / "in/real/deeper");
    fs::create_directories(dir.Path() / "outside");
    fs::create_directory_symlink(dir.Path() / "outside", dir.Path() / "in/link");
    fs::create_directory_symlink(dir.Path() / "outside", dir.Path() / "in/real/link");
    std::ofstream(dir.Path() / "in/file") << "x";
    const std::u16string folder = Utf8ToWide((dir.Path() / "in").string() + "/");
    const struct Case {
        const char16_t* name;
        bool inside;
    } cases[] = {
        {u"setup.bin", true},
        {u"real/setup.bin", true},
        {u"real/deeper/setup.bin", true},
        {u"new/folders/setup.bin", true},
        {u"link/setup.bin", false},
        {u"real/link/setup.bin", false},
        {u"file/setup.bin", false},
        {u"link", true},  // the last segment is the file itself
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FoldersOfNameStayInside(folder, c.name), c.inside) << WideToUtf8(c.name);
    }
}
