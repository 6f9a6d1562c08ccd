"""The account and the game catalogue read from games.json: games, their installer files (content
made from a seed), each file's chunk index with its digests, and the icons and avatars. The API
endpoints, the CDN listeners and the control listener share one Catalog.

Games and files are never changed in place: a change makes a new object and swaps it in under
the catalogue's lock, so a reader holding an old one keeps a consistent view (its content, its
digests and its index all belong to one version of the file)."""

import hashlib
import os
import threading
import urllib.parse
from xml.sax.saxutils import escape

import content
import images

DEFAULT_CHUNK_SIZE = 1 << 20
_READ_STEP = 1 << 20  # content is hashed this many bytes at a time
_XML_DECLARATION = '<?xml version="1.0" encoding="UTF-8"?>\n'
_LINK_PREFIXES = ("/secure/", "/open/")
INDEX_SUFFIX = ".crc"

DEMO_ACCOUNT = {"email": "demo@velkora.test", "password": "demo-password",
                "user_name": "Demo Player"}


class CatalogError(ValueError):
    pass


def attr(text):
    return escape(str(text), {'"': "&quot;"})


def _check_fields(what, fields, allowed, required):
    if not isinstance(fields, dict):
        raise CatalogError("%s must be a JSON object" % what)
    unknown = set(fields) - set(allowed)
    if unknown:
        raise CatalogError("%s: unknown field(s) %s" % (what, ", ".join(sorted(unknown))))
    missing = [name for name in required if name not in fields]
    if missing:
        raise CatalogError("%s: missing %s" % (what, ", ".join(missing)))
    for name, value in fields.items():
        types = allowed[name]
        if isinstance(value, bool) and bool not in types:
            raise CatalogError("%s: %s must not be true/false" % (what, name))
        if not isinstance(value, types):
            raise CatalogError("%s: %s has the wrong type" % (what, name))


_FILE_FIELDS = {"id": (int,), "path": (str,), "size": (int,), "seed": (str,),
                "chunk_size": (int,), "available": (bool,), "notavailablemsg": (str,),
                "timestamp": (str, int)}


class GameFile:
    def __init__(self, game_name, fields):
        file_id = fields.get("id") if isinstance(fields, dict) else None
        what = "game %r, file %r" % (game_name, file_id)
        _check_fields(what, fields, _FILE_FIELDS, ("id", "path", "size"))
        self.id = fields["id"]
        if not 0 <= self.id <= 0xFFFFFFFF:
            raise CatalogError("%s: id must be 0 .. 4294967295" % what)
        self.path = fields["path"]
        segments = self.path.split("/")
        if any(s in ("", ".", "..") for s in segments) or "\\" in self.path:
            raise CatalogError("%s: path must be relative, '/'-separated, without '..'" % what)
        self.size = fields["size"]
        self.chunk_size = fields.get("chunk_size", DEFAULT_CHUNK_SIZE)
        if self.size < 0 or self.chunk_size <= 0:
            raise CatalogError("%s: size must not be negative, chunk_size positive" % what)
        self.seed = fields.get("seed", "%s/%d" % (game_name, self.id))
        self.available = fields.get("available", True)
        self.notavailablemsg = fields.get("notavailablemsg", "")
        self.timestamp = str(fields.get("timestamp", "1"))
        self.fields = dict(fields)
        self.content = content.SeededResource(self.seed, self.size)
        self._lock = threading.Lock()
        self._digests = None

    def changed(self, game_name, changes):
        """A new version of this file with `changes` (a dict of games.json fields) applied."""
        return GameFile(game_name, dict(self.fields, **changes))

    def chunks(self):
        """(id, first byte, last byte) of every chunk, in file order."""
        return [(i, start, min(start + self.chunk_size, self.size) - 1)
                for i, start in enumerate(range(0, self.size, self.chunk_size))]

    def digests(self):
        """(whole-file md5, [md5 of each chunk]) as lower-case hex; computed once, on first use,
        so that a large file costs nothing until a test asks for its index."""
        with self._lock:
            if self._digests is None:
                self._digests = self._read_all(None)
            return self._digests

    def _read_all(self, sink):
        """Makes the whole content once, chunk by chunk, handing every piece to `sink` (when
        given); (whole-file md5, [md5 of each chunk]) of what was made."""
        whole = hashlib.md5()
        per_chunk = []
        for _, first, last in self.chunks():
            chunk = hashlib.md5()
            offset = first
            while offset <= last:
                data = self.content.read(offset, min(_READ_STEP, last - offset + 1))
                if sink is not None:
                    sink(data)
                chunk.update(data)
                whole.update(data)
                offset += len(data)
            per_chunk.append(chunk.hexdigest())
        return whole.hexdigest(), per_chunk

    def export(self, folder):
        """Writes the file's content to `folder`/<path> and its chunk index beside it
        (<path>.crc), making the bytes once: the digests are taken on the way and kept."""
        target = os.path.join(folder, *self.path.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target + ".part", "wb") as out:
            digests = self._read_all(out.write)
        with self._lock:
            self._digests = digests
        os.replace(target + ".part", target)
        with open(target + INDEX_SUFFIX, "wb") as out:
            out.write(self.index_xml())

    def index_xml(self, wrong_chunk=None, wrong_file_md5=False):
        """The chunk index document; the two faults put a wrong digest in it."""
        whole, per_chunk = self.digests()
        if wrong_chunk is not None and not 0 <= wrong_chunk < len(per_chunk):
            raise CatalogError("wrong_chunk %d: the file has %d chunks" %
                               (wrong_chunk, len(per_chunk)))
        if wrong_file_md5:
            whole = _spoil(whole)
        lines = [_XML_DECLARATION]
        available = ' available="1"' if self.available else (
            ' available="0" notavailablemsg="%s"' % attr(self.notavailablemsg))
        lines.append('<file name="%s"%s timestamp="%s" total_size="%d" md5="%s">\n' % (
            attr(self.path.rsplit("/", 1)[-1]), available, attr(self.timestamp), self.size,
            whole))
        for (chunk_id, first, last), digest in zip(self.chunks(), per_chunk):
            if chunk_id == wrong_chunk:
                digest = _spoil(digest)
            lines.append('  <chunk id="%d" from="%d" to="%d" method="md5">%s</chunk>\n' % (
                chunk_id, first, last, digest))
        lines.append("</file>\n")
        return "".join(lines).encode("utf-8")


def _spoil(digest):
    """The same digest with its first hex digit changed: well-formed, but wrong."""
    return ("1" if digest[0] == "0" else "0") + digest[1:]


class ChunkIndex(content.BytesResource):
    """A file's chunk index as the CDN serves it; keeps its file so a fault can spoil it."""

    def __init__(self, game_file):
        super().__init__(game_file.index_xml(), "application/xml; charset=utf-8")
        self.game_file = game_file

    def spoiled(self, wrong_chunk, wrong_file_md5):
        return content.BytesResource(self.game_file.index_xml(wrong_chunk, wrong_file_md5),
                                     self.content_type)


_GAME_FIELDS = {"name": (str,), "title": (str,), "owned": (bool,), "icon": (str,),
                "files": (list,)}


class Game:
    def __init__(self, fields):
        name = fields.get("name") if isinstance(fields, dict) else None
        _check_fields("game %r" % name, fields, _GAME_FIELDS, ("name", "files"))
        if not name or "/" in name:
            raise CatalogError("game %r: a name is not empty and holds no '/'" % name)
        self.name = name
        self.title = fields.get("title", name)
        self.owned = fields.get("owned", True)
        self.icon = fields.get("icon", "/icons/%s.png" % name)
        if not self.icon.startswith("/"):
            raise CatalogError("game %r: icon is a CDN path starting with /" % name)
        self.files = [GameFile(name, f) for f in fields["files"]]
        ids = [f.id for f in self.files]
        if ids != list(range(len(ids))):
            # The client uses a file's id as its position in the game's list of files.
            raise CatalogError("game %r: file ids must be 0, 1, 2, ... in list order" % name)
        self.fields = dict(fields)

    def file(self, file_id):
        return next((f for f in self.files if f.id == file_id), None)

    def copy(self):
        clone = Game.__new__(Game)
        clone.__dict__.update(self.__dict__)
        clone.files = list(self.files)
        return clone


_ACCOUNT_FIELDS = {"email": (str,), "password": (str,), "user_name": (str,), "avatars": (dict,)}


class Account:
    def __init__(self, fields):
        _check_fields("account", fields, _ACCOUNT_FIELDS, ("email", "password", "user_name"))
        self.email = fields["email"]
        self.password = fields["password"]
        self.user_name = fields["user_name"]
        avatars = fields.get("avatars", {})
        _check_fields("account avatars", avatars, {"small": (str,), "big": (str,)}, ())
        self.avatars = {"small": avatars.get("small", "/avatars/small.png"),
                        "big": avatars.get("big", "/avatars/big.png")}
        if not all(p.startswith("/") for p in self.avatars.values()):
            raise CatalogError("account avatars are CDN paths starting with /")


def quote_path(text):
    return urllib.parse.quote(text, safe="/")


class Catalog:
    def __init__(self, data=None):
        self._lock = threading.Lock()
        self._games = {}
        self.account = Account(DEMO_ACCOUNT)
        if data is not None:
            self.load(data)

    def load(self, data):
        if not isinstance(data, dict) or not isinstance(data.get("games"), list):
            raise CatalogError('expected an object with a list "games"')
        unknown = set(data) - {"account", "games"}
        if unknown:
            raise CatalogError("unknown top-level field(s) %s" % ", ".join(sorted(unknown)))
        account = Account(data["account"]) if "account" in data else Account(DEMO_ACCOUNT)
        games = {}
        for fields in data["games"]:
            game = Game(fields)
            if game.name in games:
                raise CatalogError("game %r given twice" % game.name)
            games[game.name] = game
        with self._lock:
            self.account = account
            self._games = games

    def game(self, name):
        with self._lock:
            return self._games.get(name)

    def games(self):
        with self._lock:
            return list(self._games.values())

    def put_game(self, fields):
        game = Game(fields)
        with self._lock:
            self._games[game.name] = game

    def remove_game(self, name):
        with self._lock:
            if self._games.pop(name, None) is None:
                raise CatalogError("no game %r" % name)

    def set_owned(self, name, owned):
        with self._lock:
            game = self._require(name).copy()
            game.owned = owned
            self._games[name] = game

    def change_file(self, name, file_id, changes):
        with self._lock:
            game = self._require(name).copy()
            for i, old in enumerate(game.files):
                if old.id == file_id:
                    game.files[i] = old.changed(name, changes)
                    self._games[name] = game
                    return
            raise CatalogError("game %r has no file %d" % (name, file_id))

    def _require(self, name):
        game = self._games.get(name)
        if game is None:
            raise CatalogError("no game %r" % name)
        return game

    @staticmethod
    def file_link(cdn_url, game, game_file, index=False):
        return "%s/secure/%s/%s%s" % (cdn_url, quote_path(game.name), quote_path(game_file.path),
                                      INDEX_SUFFIX if index else "")

    def cdn_resource(self, path):
        """What the CDN serves at `path` (as received, percent-encoded): a Resource, the string
        "unavailable" for a file that is not available, or None."""
        path = urllib.parse.unquote(path, encoding="utf-8", errors="replace")
        with self._lock:
            games = list(self._games.values())
            account = self.account
        for kind, avatar in account.avatars.items():
            if path == avatar:
                return _png(avatar, 16 if kind == "small" else 64)
        for game in games:
            if path == game.icon:
                return _png(game.name, 32)
        for prefix in _LINK_PREFIXES:
            if path.startswith(prefix):
                name, _, rest = path[len(prefix):].partition("/")
                game = next((g for g in games if g.name == name), None)
                return _file_resource(game, rest) if game else None
        return None


def _file_resource(game, rest):
    for f in game.files:
        if f.path == rest:
            return f.content if f.available else "unavailable"
    for f in game.files:
        if rest == f.path + INDEX_SUFFIX:
            return ChunkIndex(f)
    return None


_png_cache = {}
_png_lock = threading.Lock()


def _png(name, side):
    with _png_lock:
        key = (name, side)
        if key not in _png_cache:
            _png_cache[key] = content.BytesResource(images.square_png(name, side), "image/png")
        return _png_cache[key]
