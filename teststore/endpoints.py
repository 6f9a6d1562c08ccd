"""The API's endpoints: the three sign-in steps, the user's details, game details and the file
and chunk-index links. Each takes an api.ApiRequest whose signature already held and returns a
servers.Response; which kind of token an endpoint wants is checked here."""

import re
import urllib.parse
from xml.sax.saxutils import escape

import servers
from games import Catalog, attr
from state import Tokens

FORBIDDEN_PAGE = "<h1>403 Forbidden</h1><h3>you do not own this game</h3>"
GAME_DETAILS = "/en/downloader/gameDetails/"
FILE_LINK = "/en/downloader/fileLink/"
_FILE_LINK_REST = re.compile(r"^(?P<name>.+)/installer/(?P<id>[0-9]+)(?P<crc>/crc)?$")
_XML_TYPE = "application/xml; charset=utf-8"
_XML_DECLARATION = '<?xml version="1.0" encoding="UTF-8"?>\n'


def _refuse(request, reason):
    request.store.note("api: refused %s %s: %s" % (request.method, request.path, reason))
    return servers.text(401, "401 Unauthorized: %s\n" % reason)


def _wrong_kind(request, wanted):
    """A refusal when the request was not signed with a token of kind `wanted`, else None."""
    kind = request.store.tokens.kind(request.token) if request.token else None
    if kind == wanted:
        return None
    if kind is None:
        return _refuse(request, "this request needs %s token" % _with_article(wanted))
    return _refuse(request, "%s token cannot sign this request" % _with_article(kind))


def _with_article(word):
    return ("an " if word[0] in "aeiou" else "a ") + word


def _param(request, name):
    """The last value given for `name`, or None."""
    values = [value for n, value in request.params() if n == name]
    return values[-1] if values else None


def _xml(body):
    return servers.Response(200, _XML_DECLARATION + body, content_type=_XML_TYPE)


def initialize(request):
    # Signed with the consumer alone, or with a token the client still holds: both are fine.
    token, secret = request.store.tokens.issue(Tokens.TEMPORARY)
    # No line end: the client takes this reply's values whole.
    return servers.text(200, "oauth_token=%s&oauth_token_secret=%s" % (token, secret))


def login(request):
    refusal = _wrong_kind(request, Tokens.TEMPORARY)
    if refusal:
        return refusal
    username, password = _param(request, "username"), _param(request, "password")
    if username is None or password is None:
        return servers.text(400, "400 Bad Request: give username and password\n")
    account = request.store.catalog.account
    if username.lower() != account.email.lower() or password != account.password:
        return _refuse(request, "wrong e-mail or password")
    verifier = request.store.tokens.authorize(request.token)
    if verifier is None:  # revoked between the signature check and here
        return _refuse(request, "unknown token")
    return servers.text(200, "oauth_verifier=%s\n" % verifier)


def exchange(request):
    refusal = _wrong_kind(request, Tokens.TEMPORARY)
    if refusal:
        return refusal
    issued, reason = request.store.tokens.exchange(request.token,
                                                   _param(request, "oauth_verifier"))
    if issued is None:
        return _refuse(request, reason)
    return servers.text(200, "oauth_token=%s&oauth_token_secret=%s\n" % issued)


def user_details(request):
    refusal = _wrong_kind(request, Tokens.ACCESS)
    if refusal:
        return refusal
    account = request.store.catalog.account
    cdn = request.store.cdn_url
    return _xml("<user><xywka>%s</xywka><email>%s</email><avatar><small>%s</small>"
                "<big>%s</big></avatar></user>\n" % (
                    escape(account.user_name), escape(account.email),
                    escape(cdn + account.avatars["small"]), escape(cdn + account.avatars["big"])))


def _owned_game(request, name):
    """(game, None) for a game the account owns, else (None, the refusal)."""
    game = request.store.catalog.game(name)
    if game is None:
        return None, servers.text(404, "404 Not Found: no game %s\n" % name)
    if not game.owned:
        return None, servers.Response(403, FORBIDDEN_PAGE, content_type="text/html; charset=utf-8")
    return game, None


def _decode(text):
    return urllib.parse.unquote(text, encoding="utf-8", errors="replace")


def game_details(request):
    refusal = _wrong_kind(request, Tokens.ACCESS)
    if refusal:
        return refusal
    game, refusal = _owned_game(request, _decode(request.path[len(GAME_DETAILS):]))
    if refusal:
        return refusal
    installers = "".join('<installer id="%d" path="%s"/>' % (f.id, attr(f.path))
                         for f in game.files)
    return _xml("<game><title>%s</title><icon>%s</icon><installers>%s</installers></game>\n" % (
        escape(game.title), escape(request.store.cdn_url + game.icon), installers))


def file_link(request):
    refusal = _wrong_kind(request, Tokens.ACCESS)
    if refusal:
        return refusal
    match = _FILE_LINK_REST.match(request.path[len(FILE_LINK):])
    if match is None:
        return servers.text(404, "404 Not Found\n")
    game, refusal = _owned_game(request, _decode(match.group("name")))
    if refusal:
        return refusal
    game_file = game.file(int(match.group("id")))
    if game_file is None:
        return servers.text(404, "404 Not Found: no file %s\n" % match.group("id"))
    # Chunk indexes always come from our own HTTPS server: they carry the digests that protect
    # the files, which may come from elsewhere and over plain HTTP.
    index = bool(match.group("crc"))
    base = request.store.cdn_url if index else request.store.link_base()
    link = Catalog.file_link(base, game, game_file, index)
    return _xml("<file><cdn_link>%s</cdn_link></file>\n" % escape(link))
