"""Fault switches that tests arm through the control listener. Each fault matches requests by
server, method and path, and applies to the next `fail_next` of them (-1: until cleared)."""

import random
import threading

SERVERS = ("api", "site", "cdn", "cdn_http")

# name -> accepted JSON types (bool is excluded from the numbers on purpose).
_FIELDS = {
    "server": (str, list),
    "method": (str,),
    "path": (str,),
    "path_prefix": (str,),
    "fail_next": (int,),
    "status": (int,),
    "body": (str,),
    "redirect": (str,),
    "cut_after": (int,),
    "stall_seconds": (int, float),
    "stall_after_headers": (int, float),
    "ignore_range": (bool,),
    "no_content_length": (bool,),
    "extra_bytes": (int,),
    "broken_chunked": (bool,),
    "rate": (int, float),
    "wrong_content_range": (bool, str),
    "corrupt": (bool,),
    "corrupt_range": (list,),
    "wrong_chunk": (int,),
    "wrong_file_md5": (bool,),
    "drop_probability": (int, float),
    "seed": (int,),
    "retry_after": (str, int),
}


class FaultError(ValueError):
    pass


def _header_safe(text):
    """Whether `text` can go out as a header value as it stands: a line end would end the header
    (and smuggle in others), and the header block is Latin-1."""
    return all(ch == "\t" or 0x20 <= ord(ch) <= 0xFF and ord(ch) != 0x7F for ch in text)


class Fault:
    def __init__(self, switches):
        if not isinstance(switches, dict):
            raise FaultError("a fault is a JSON object")
        for name, value in switches.items():
            if name not in _FIELDS:
                raise FaultError("unknown fault field %r" % name)
            types = _FIELDS[name]
            if isinstance(value, bool) and bool not in types:
                raise FaultError("field %r must not be true/false" % name)
            if not isinstance(value, types):
                raise FaultError("field %r has the wrong type" % name)
        servers = switches.get("server")
        if servers is None:
            self.servers = set(SERVERS)
        else:
            self.servers = {servers} if isinstance(servers, str) else set(servers)
            unknown = self.servers - set(SERVERS)
            if unknown or not self.servers:
                raise FaultError("unknown server in %r; servers are %s" % (servers, SERVERS))
        if "path" in switches and "path_prefix" in switches:
            raise FaultError("give either path or path_prefix")
        self.method = switches.get("method")
        self.path = switches.get("path")
        self.path_prefix = switches.get("path_prefix")
        self.remaining = switches.get("fail_next", 1)
        if self.remaining == 0 or self.remaining < -1:
            raise FaultError("fail_next is a positive count or -1")
        self.status = switches.get("status")
        if self.status is not None and not 100 <= self.status <= 599:
            raise FaultError("status must be 100..599")
        self.body = switches.get("body")
        self.redirect = switches.get("redirect")
        self.cut_after = switches.get("cut_after")
        self.stall_seconds = switches.get("stall_seconds", 0)
        self.stall_after_headers = switches.get("stall_after_headers", 0)
        self.ignore_range = switches.get("ignore_range", False)
        self.no_content_length = switches.get("no_content_length", False)
        self.extra_bytes = switches.get("extra_bytes", 0)
        self.broken_chunked = switches.get("broken_chunked", False)
        self.rate = switches.get("rate")
        self.wrong_content_range = switches.get("wrong_content_range", False)
        self.corrupt = switches.get("corrupt", False)
        self.corrupt_range = switches.get("corrupt_range")
        if self.corrupt_range is not None:
            r = self.corrupt_range
            if (len(r) != 2 or not all(isinstance(v, int) and not isinstance(v, bool) for v in r)
                    or not 0 <= r[0] <= r[1]):
                raise FaultError("corrupt_range is [from, to] with 0 <= from <= to")
        self.wrong_chunk = switches.get("wrong_chunk")
        if self.wrong_chunk is not None and self.wrong_chunk < 0:
            raise FaultError("wrong_chunk is a chunk id, not negative")
        self.wrong_file_md5 = switches.get("wrong_file_md5", False)
        self.drop_probability = switches.get("drop_probability", 0)
        if not 0 <= self.drop_probability <= 1:
            raise FaultError("drop_probability is between 0 and 1")
        self.retry_after = switches.get("retry_after")
        if isinstance(self.retry_after, int) and self.retry_after < 0:
            raise FaultError("retry_after must not be negative")
        if isinstance(self.retry_after, str) and not _header_safe(self.retry_after):
            raise FaultError("retry_after is one header line: Latin-1 text without control "
                             "characters")
        self._random = random.Random(switches.get("seed", 0))
        self._random_lock = threading.Lock()
        for name in ("cut_after", "stall_seconds", "stall_after_headers", "extra_bytes"):
            if (switches.get(name) or 0) < 0:
                raise FaultError("%s must not be negative" % name)
        if self.rate is not None and self.rate <= 0:
            raise FaultError("rate must be positive")
        self.switches = switches

    def drop_point(self, length):
        """Where to cut a body of `length` bytes, or None to send it whole; random with the
        fault's probability, repeatable for a given seed and order of requests."""
        if not self.drop_probability or length <= 0:
            return None
        with self._random_lock:
            if self._random.random() >= self.drop_probability:
                return None
            return self._random.randrange(length)

    def matches(self, server, method, path):
        if server not in self.servers:
            return False
        if self.method is not None and self.method != method:
            return False
        if self.path is not None:
            return path == self.path
        if self.path_prefix is not None:
            return path.startswith(self.path_prefix)
        return True


class FaultBoard:
    def __init__(self):
        self._lock = threading.Lock()
        self._faults = []

    def arm(self, fault):
        with self._lock:
            self._faults.append(fault)

    def clear(self):
        with self._lock:
            self._faults.clear()

    def take(self, server, method, path):
        """The first armed fault that matches, with one use counted off; None when none does."""
        with self._lock:
            for fault in self._faults:
                if fault.matches(server, method, path):
                    if fault.remaining > 0:
                        fault.remaining -= 1
                        if fault.remaining == 0:
                            self._faults.remove(fault)
                    return fault
        return None

    def armed(self):
        with self._lock:
            return [dict(f.switches, fail_next=f.remaining) for f in self._faults]
