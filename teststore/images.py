"""Small valid PNG images made on the fly, for game icons and user avatars: a plain square whose
colour comes from a name, so different games get visibly different icons."""

import hashlib
import struct
import zlib


def _chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data +
            struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def square_png(name, side):
    """A side x side RGB PNG, one colour derived from `name`."""
    rgb = hashlib.md5(name.encode("utf-8")).digest()[:3]
    row = b"\x00" + rgb * side  # filter type 0 (none), then the pixels
    header = struct.pack(">IIBBBBB", side, side, 8, 2, 0, 0, 0)  # 8-bit RGB, no interlace
    return (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header) +
            _chunk(b"IDAT", zlib.compress(row * side)) + _chunk(b"IEND", b""))
