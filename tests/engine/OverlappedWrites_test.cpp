#include "engine/OverlappedWrites.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/UniqueFd.h"
#include "support/FileFixtures.h"
#include "support/TempHome.h"

namespace {

// Blocks handed over one after the other land where they were meant to, while the caller fills
// the other buffer; a failure is told at the next call and stays told.
TEST(OverlappedWrites, EachBlockLandsAtItsOffsetAndAFailureIsToldNextTime) {
    TempDir dir;
    const std::string path = (dir.Path() / "out.bin").string();
    const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd);
    std::string expected;
    {
        OverlappedWrites writes;
        // Two buffers taking turns, as a pass uses them; each is changed only after the next
        // call has taken the write before it.
        std::string buffers[2];
        for (int block = 0; block < 40; ++block) {
            std::string& buffer = buffers[block % 2];
            buffer.assign(1000, static_cast<char>('a' + block % 26));
            ASSERT_TRUE(writes.Write(fd.Get(), expected.size(),
                                     reinterpret_cast<const uint8_t*>(buffer.data()),
                                     buffer.size()));
            expected += buffer;
        }
        ASSERT_TRUE(writes.Wait());
    }
    EXPECT_EQ(ReadFile(path), expected);

    OverlappedWrites failing;
    const uint8_t byte = 1;
    ASSERT_TRUE(failing.Write(-1, 0, &byte, 1)) << "handed over; the failure comes later";
    errno = 0;
    EXPECT_FALSE(failing.Wait());
    EXPECT_EQ(errno, EBADF);
    EXPECT_FALSE(failing.Write(fd.Get(), 0, &byte, 1));
    EXPECT_EQ(ReadFile(path), expected) << "nothing written after a failure";
}

}  // namespace
