#pragma once
// MD5's compression function (RFC 1321) over whole 64-byte blocks, for Md5Context. Besides the
// usual one chain it runs two chains over the same bytes at once: the two depend on nothing of
// each other, so the processor works on both in the time one chain's long dependency takes
// alone, and two digests of the same bytes (a chunk's and its file's) cost far less than two
// passes.
#include <cstddef>
#include <cstdint>

struct Md5State {
    uint32_t a = 0x67452301;
    uint32_t b = 0xefcdab89;
    uint32_t c = 0x98badcfe;
    uint32_t d = 0x10325476;
};

// Feeds `blocks` blocks of 64 bytes at `bytes` into `state`.
void Md5Compress(Md5State& state, const uint8_t* bytes, size_t blocks);
// The same into two states at once; each ends as Md5Compress would leave it.
void Md5CompressTwice(Md5State& first, Md5State& second, const uint8_t* bytes, size_t blocks);
