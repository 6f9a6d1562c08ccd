"""The store's shared state: issued tokens, resources, games, fault switches, the site switch and
the request log. Every listener thread reads and changes it; each part has its own lock."""

import itertools
import json
import secrets
import sys
import threading
import time
import urllib.parse

import content
import faults
import games

CONSUMER_KEY = "7c0e59a2b4d81f36e9a05c7d2b8e41f60a3d9c57"
CONSUMER_SECRET = "b52e8d07f1c94a63e08d5b2c7f19a4e6d30c8b71"

# Characters of path, query and Range that the log keeps as they are; everything else (tabs,
# line ends, "%" itself, bytes above 0x7f) is percent-encoded, so one decoding restores the text
# exactly as it arrived.
_LOG_SAFE = "/:@!$&'()*+,;=-._~?[]"


class RequestEntry:
    """One request as received. The handler thread fills in the answer while the control
    listener may read it; single attribute writes are atomic in CPython, so no lock is needed."""

    FIELDS = ("server", "method", "path", "query", "range", "status", "bytes_sent",
              "connection", "signature_valid", "time")

    def __init__(self, server, method, path, query, range_header, connection):
        self.server = server
        self.method = method
        self.path = path
        self.query = query
        self.range = range_header
        self.status = 0
        self.bytes_sent = 0
        self.connection = connection
        self.signature_valid = False
        # When the request arrived, in seconds of the store's monotonic clock: only differences
        # between entries mean anything (how long a client waited before asking again).
        self.time = time.monotonic()

    def line(self):
        def enc(text):
            return urllib.parse.quote(text.encode("latin-1", "replace"), safe=_LOG_SAFE)

        return "\t".join((self.server, self.method, enc(self.path), enc(self.query),
                          enc(self.range), str(self.status), str(self.bytes_sent),
                          str(self.connection), "1" if self.signature_valid else "0",
                          "%.6f" % self.time))


class RequestLog:
    def __init__(self):
        self._lock = threading.Lock()
        self._entries = []

    def add(self, entry):
        with self._lock:
            self._entries.append(entry)

    def text(self):
        with self._lock:
            return "".join(e.line() + "\n" for e in self._entries)

    def clear(self):
        with self._lock:
            self._entries.clear()


class Tokens:
    """Every token the API accepts: its secret, its kind ("temporary" from the first sign-in
    step, "access" from the last one or from the control listener) and, for a temporary token
    whose login succeeded, the verifier bound to it. Also the nonces seen, against replays."""

    TEMPORARY = "temporary"
    ACCESS = "access"

    def __init__(self):
        self._lock = threading.Lock()
        self._tokens = {}  # token -> [secret, kind, verifier]; dicts keep issue order
        self._seen = set()

    def add(self, token, secret, kind=ACCESS):
        with self._lock:
            self._tokens.pop(token, None)
            self._tokens[token] = [secret, kind, None]

    def issue(self, kind):
        """A new token of `kind` with a new secret: (token, secret)."""
        token, secret = secrets.token_hex(20), secrets.token_hex(20)
        self.add(token, secret, kind)
        return token, secret

    def secret(self, token):
        with self._lock:
            entry = self._tokens.get(token)
            return entry[0] if entry else None

    def kind(self, token):
        with self._lock:
            entry = self._tokens.get(token)
            return entry[1] if entry else None

    def authorize(self, token):
        """Binds a new verifier to a temporary token (its login succeeded); None when the token
        is no longer a temporary one."""
        verifier = secrets.token_hex(10)
        with self._lock:
            entry = self._tokens.get(token)
            if entry is None or entry[1] != self.TEMPORARY:
                return None
            entry[2] = verifier
            return verifier

    def exchange(self, token, verifier):
        """Trades an authorized temporary token and its verifier for a new access token:
        ((token, secret), "") or (None, the reason for refusing). The temporary token is used
        up, so one login yields one access token."""
        with self._lock:
            entry = self._tokens.get(token)
            if entry is None or entry[1] != self.TEMPORARY:
                return None, "not a temporary token"
            if entry[2] is None:
                return None, "no login was made with this token"
            if verifier != entry[2]:
                return None, "oauth_verifier does not match the login"
            del self._tokens[token]
        return self.issue(self.ACCESS), ""

    def revoke(self, token):
        with self._lock:
            return self._tokens.pop(token, None) is not None

    def listing(self):
        with self._lock:
            return [(token, entry[0], entry[1]) for token, entry in self._tokens.items()]

    def first_use(self, token, timestamp, nonce):
        """False when this nonce was already used with this token and timestamp (a replay)."""
        key = (token, timestamp, nonce)
        with self._lock:
            if key in self._seen:
                return False
            self._seen.add(key)
            return True


class Store:
    def __init__(self, games_file=None, verbose=False):
        self.verbose = verbose
        self.tokens = Tokens()
        self.resources = content.ResourceTable()
        self.faults = faults.FaultBoard()
        self.log = RequestLog()
        self.site_up = True
        self._connections = itertools.count(1)
        self._connections_lock = threading.Lock()
        self.catalog = games.Catalog()
        self.cdn_url = ""  # the HTTPS CDN listener's URL, set once it is bound
        # Where file and chunk-index links point: another server holding the same content (a
        # benchmark's web server), or empty for our own HTTPS CDN.
        self.content_url = ""
        # The path the API is served under ("/api/v2"), or empty for the host's root.
        self.api_base_path = ""
        if games_file:
            self.load_games(games_file)

    def next_connection(self):
        with self._connections_lock:
            return next(self._connections)

    def load_games(self, path):
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
        try:
            self.catalog.load(data)
        except games.CatalogError as error:
            raise games.CatalogError("%s: %s" % (path, error)) from None

    def link_base(self):
        """The base URL of file links (chunk-index links always name our own HTTPS server)."""
        return self.content_url or self.cdn_url

    def note(self, text):
        print("teststore: " + text, file=sys.stderr, flush=True)
