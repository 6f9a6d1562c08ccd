"""What the content-delivery listeners serve: resources held in memory and resources generated
from a seed, plus the parsing of Range headers."""

import hashlib
import threading

# Generated content comes in blocks of this many bytes:
# block i = SHAKE-256(seed as UTF-8 || i as 8-byte big-endian), the first BLOCK_SIZE bytes.
# Any byte range is cheap to make and the same every time, so a test can ask for a file of
# gigabytes without storing it, and check what it received by making the same bytes itself.
BLOCK_SIZE = 4096


class Resource:
    content_type = "application/octet-stream"
    size = 0

    def read(self, offset, length):
        raise NotImplementedError


class BytesResource(Resource):
    def __init__(self, data, content_type="application/octet-stream"):
        self.data = bytes(data)
        self.size = len(self.data)
        self.content_type = content_type

    def read(self, offset, length):
        return self.data[offset:offset + length]


class SeededResource(Resource):
    def __init__(self, seed, size):
        if size < 0:
            raise ValueError("size must not be negative")
        self.seed = seed.encode("utf-8")
        self.size = size

    def _block(self, index):
        return hashlib.shake_256(self.seed + index.to_bytes(8, "big")).digest(BLOCK_SIZE)

    def read(self, offset, length):
        length = max(0, min(length, self.size - offset))
        if length == 0:
            return b""
        first, last = offset // BLOCK_SIZE, (offset + length - 1) // BLOCK_SIZE
        data = b"".join(self._block(i) for i in range(first, last + 1))
        skip = offset - first * BLOCK_SIZE
        return data[skip:skip + length]


class ResourceTable:
    """Path -> resource, shared by both CDN listeners and the control listener."""

    def __init__(self):
        self._lock = threading.Lock()
        self._resources = {}

    def put(self, path, resource):
        with self._lock:
            self._resources[path] = resource

    def get(self, path):
        with self._lock:
            return self._resources.get(path)


def parse_range(header, size):
    """Reads a Range header against a resource of `size` bytes.

    Returns ("none", 0, size - 1) when the whole resource is to be sent (no header, another unit,
    several ranges, or a header that does not parse), ("partial", first, last) for one
    satisfiable range, and ("unsatisfiable", 0, -1) for a range that lies outside the resource
    or ends before it begins."""
    whole = ("none", 0, size - 1)
    if not header:
        return whole
    unit, sep, byte_ranges = header.strip().partition("=")
    if not sep or unit.strip().lower() != "bytes" or "," in byte_ranges:
        return whole
    first_text, dash, last_text = byte_ranges.strip().partition("-")
    first_text, last_text = first_text.strip(), last_text.strip()
    if not dash or not (first_text.isdigit() or first_text == ""):
        return whole
    if not (last_text.isdigit() or last_text == ""):
        return whole
    if first_text == "":
        if last_text == "":
            return whole
        suffix = int(last_text)  # "bytes=-n": the last n bytes
        if suffix == 0 or size == 0:
            return ("unsatisfiable", 0, -1)
        return ("partial", max(0, size - suffix), size - 1)
    first = int(first_text)
    last = int(last_text) if last_text else size - 1
    if last < first or first >= size:
        return ("unsatisfiable", 0, -1)
    return ("partial", first, min(last, size - 1))
