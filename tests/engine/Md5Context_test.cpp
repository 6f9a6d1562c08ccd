#include "engine/Md5Context.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/FileFixtures.h"
#include "support/TempHome.h"

namespace {

struct Vector {
    const char* input;
    const char16_t* digest;
};

// The test suite of RFC 1321, appendix A.5.
const Vector kRfc1321[] = {
    {"", u"d41d8cd98f00b204e9800998ecf8427e"},
    {"a", u"0cc175b9c0f1b6a831c399e269772661"},
    {"abc", u"900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", u"f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", u"c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     u"d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     u"57edf4a22be3c955ac49da2e2107b67a"},
};

// Any bytes do; these are the ones the cases were written with.
constexpr uint32_t kSeed = 12345;

TEST(Md5Context, Rfc1321SuiteOneShotAndIncremental) {
    for (const Vector& vector : kRfc1321) {
        const std::string input = vector.input;
        SCOPED_TRACE(input);
        EXPECT_EQ(Md5Hex(input), vector.digest);

        // Byte by byte, and in uneven pieces that straddle MD5's 64-byte blocks.
        Md5Context bytewise;
        for (const char byte : input) {
            bytewise.Update(&byte, 1);
        }
        bytewise.Finalize();
        EXPECT_EQ(bytewise.HexDigest(), vector.digest);

        Md5Context pieces;
        for (size_t at = 0, piece = 1; at < input.size(); at += piece, piece = piece * 3 + 1) {
            pieces.Update(input.data() + at, std::min(piece, input.size() - at));
        }
        pieces.Finalize();
        EXPECT_EQ(pieces.HexDigest(), vector.digest);
    }
}

TEST(Md5Context, IncrementalEqualsOneShotOnLargeInput) {
    const std::string data = Pattern(3 * 1024 * 1024 + 17, kSeed);
    const std::u16string whole = Md5Hex(data);
    for (const size_t piece : {size_t{1} << 20, size_t{65535}, size_t{63}}) {
        Md5Context context;
        for (size_t at = 0; at < data.size(); at += piece) {
            context.Update(data.data() + at, std::min(piece, data.size() - at));
        }
        context.Finalize();
        EXPECT_EQ(context.HexDigest(), whole) << piece;
    }
}

// Two digests fed the same bytes at once, standing at the same place within a 64-byte block or
// not, end as two digests fed alone would.
TEST(Md5Context, UpdateBothEqualsTwoSeparateDigests) {
    const std::string data = Pattern(300000, kSeed);
    for (const size_t ahead : {size_t{0}, size_t{64}, size_t{32}, size_t{1}, size_t{200}}) {
        for (const size_t piece : {size_t{1} << 17, size_t{4099}, size_t{64}, size_t{7}}) {
            SCOPED_TRACE(std::to_string(ahead) + " ahead, pieces of " + std::to_string(piece));
            Md5Context file;
            Md5Context chunk;
            file.Update(data.data(), ahead);
            for (size_t at = ahead; at < data.size(); at += piece) {
                Md5Context::UpdateBoth(chunk, file, data.data() + at,
                                       std::min(piece, data.size() - at));
            }
            file.Finalize();
            chunk.Finalize();
            EXPECT_EQ(file.HexDigest(), Md5Hex(data));
            EXPECT_EQ(chunk.HexDigest(), Md5Hex(data.substr(ahead)));
        }
    }
    // A copy carries on from where the original stood.
    Md5Context original;
    original.Update(data.data(), 1000);
    Md5Context copy = original;
    copy.Update(data.data() + 1000, data.size() - 1000);
    copy.Finalize();
    EXPECT_EQ(copy.HexDigest(), Md5Hex(data));
}

TEST(Md5Context, RenderingFollowsTheLifecycle) {
    Md5Context context;
    context.Update("abc", 3);
    EXPECT_EQ(context.HexDigest(), u"") << "not finished yet";
    context.Finalize();
    context.Finalize();  // a second finish changes nothing
    EXPECT_EQ(context.HexDigest(), u"900150983cd24fb0d6963f7d28e17f72");
    EXPECT_THROW(context.Update("d", 1), std::logic_error);

    context.Restart();
    EXPECT_EQ(context.HexDigest(), u"");
    context.Finalize();
    EXPECT_EQ(context.HexDigest(), u"d41d8cd98f00b204e9800998ecf8427e");

    Md5Context moved = std::move(context);
    EXPECT_EQ(moved.HexDigest(), u"d41d8cd98f00b204e9800998ecf8427e");
}

// A resumed transfer feeds the bytes it finds on disk, then carries on with the new ones.
TEST(Md5Context, ResumesOverTheStartOfAFile) {
    TempDir dir;
    const std::string data = Pattern(2 * 1024 * 1024 + 5, kSeed);
    const std::filesystem::path partial = dir.Path() / "game.bin.chunk0_downloading";
    const size_t onDisk = 1024 * 1024 + 3;
    WriteFile(partial, data.substr(0, onDisk));

    Md5Context context;
    EXPECT_EQ(context.UpdateFromFile(Wide(partial), onDisk), onDisk);
    context.Update(data.data() + onDisk, data.size() - onDisk);
    context.Finalize();
    EXPECT_EQ(context.HexDigest(), Md5Hex(data));

    // A limit below the file's size reads only that much; a file shorter than the limit gives
    // what it has.
    Md5Context head;
    EXPECT_EQ(head.UpdateFromFile(Wide(partial), 10), 10u);
    head.Finalize();
    EXPECT_EQ(head.HexDigest(), Md5Hex(data.substr(0, 10)));
    Md5Context all;
    EXPECT_EQ(all.UpdateFromFile(Wide(partial), UINT64_MAX), onDisk);
}

TEST(Md5Context, ResumeRefusesWhatItCannotTrust) {
    TempDir dir;
    const std::filesystem::path real = dir.Path() / "real";
    WriteFile(real, Pattern(3 * 1024 * 1024, kSeed));
    const std::filesystem::path link = dir.Path() / "link";
    std::filesystem::create_symlink(real, link);

    Md5Context context;
    EXPECT_EQ(context.UpdateFromFile(Wide(dir.Path() / "missing"), 100), std::nullopt);
    EXPECT_EQ(context.UpdateFromFile(Wide(link), 100), std::nullopt) << "never through a link";
    EXPECT_EQ(context.UpdateFromFile(Wide(dir.Path()), 100), std::nullopt) << "a folder";

    int asked = 0;
    EXPECT_EQ(context.UpdateFromFile(Wide(real), UINT64_MAX, [&] { return ++asked < 2; }),
              std::nullopt)
        << "stopped before the third block";
    EXPECT_EQ(asked, 2);
}

}  // namespace
