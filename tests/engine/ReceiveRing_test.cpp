#include "engine/ReceiveRing.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Text(std::span<char> piece) {
    return std::string(piece.data(), piece.size());
}

// Bytes written across the ring's end come back in order, as two pieces, from any offset; what
// is written leaves room for more at the start.
TEST(ReceiveRingTest, MovedBytesWrapAroundTheEndInOrder) {
    ReceiveRing<8> ring;
    ring.Append("abcdef", 6);
    ring.MarkMoved(6);
    ring.DropMoved();  // head at 6
    EXPECT_EQ(ring.Free(), 8u);

    ring.Append("ghijk", 5);  // 2 bytes at the end, 3 at the start
    EXPECT_EQ(ring.Free(), 3u);
    EXPECT_EQ(ring.Unmoved(), 5u);
    ring.MarkMoved(4);
    EXPECT_EQ(ring.Moved(), 4u);
    EXPECT_EQ(ring.Unmoved(), 1u);

    auto pieces = ring.MovedPieces();
    EXPECT_EQ(Text(pieces[0]), "gh");
    EXPECT_EQ(Text(pieces[1]), "ij");
    pieces = ring.MovedPieces(3);  // past the wrap: one piece
    EXPECT_EQ(Text(pieces[0]), "j");
    EXPECT_TRUE(pieces[1].empty());

    ring.DropMoved();
    ring.MarkMoved(1);
    EXPECT_EQ(Text(ring.MovedPieces()[0]), "k");
    EXPECT_EQ(ring.Free(), 7u);
}

// A failed write forgets the marks but keeps the bytes out of the free room; Clear empties all.
TEST(ReceiveRingTest, ForgetMovedKeepsTheBytesAndClearEmpties) {
    ReceiveRing<8> ring;
    ring.Append("abcd", 4);
    ring.MarkMoved(3);
    ring.ForgetMoved();
    EXPECT_EQ(ring.Moved(), 0u);
    EXPECT_EQ(ring.Unmoved(), 4u);
    EXPECT_EQ(ring.Free(), 4u);
    ring.Clear();
    EXPECT_EQ(ring.Free(), 8u);
    EXPECT_EQ(ring.Unmoved(), 0u);
}

}  // namespace
