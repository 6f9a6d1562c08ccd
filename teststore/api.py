"""The API listener: every request's OAuth 1.0 query-string signature is checked with oauthlib
(independent of the client's own signing code), then the request goes to its route (the
store's endpoints live in endpoints.py).

Adding an endpoint: write a function taking an ApiRequest and returning a servers.Response,
and add a Route to ROUTES."""

import types
import urllib.parse

from oauthlib.oauth1.rfc5849 import signature

import endpoints
import servers
from state import CONSUMER_KEY, CONSUMER_SECRET

_REQUIRED = ("oauth_consumer_key", "oauth_signature_method", "oauth_signature",
             "oauth_timestamp", "oauth_nonce")


class ApiRequest:
    def __init__(self, store, method, path, query, token, handler):
        self.store = store
        self.method = method
        self.path = path
        self.query = query
        self.token = token  # the oauth_token the request was signed with, or None
        self.handler = handler

    def params(self):
        """The query's parameters, percent-decoded as UTF-8 (a "+" stays a plus sign)."""
        pairs = []
        for part in self.query.split("&") if self.query else []:
            name, _, value = part.partition("=")
            pairs.append((_decode(name), _decode(value)))
        return pairs


def _decode(text):
    return urllib.parse.unquote(text, encoding="utf-8", errors="replace")


def verify(store, method, host, path, query):
    """(valid, reason, token) for the request's OAuth signature."""
    if not host:
        return False, "no Host header", None
    try:
        params = signature.collect_parameters(uri_query=query, exclude_oauth_signature=False)
    except ValueError as error:
        return False, "query is not form-encoded: %s" % error, None
    oauth = {}
    for name, value in params:
        if name.startswith("oauth_"):
            if name in oauth:
                return False, "%s given twice" % name, None
            oauth[name] = value
    missing = [name for name in _REQUIRED if name not in oauth]
    if missing:
        return False, "missing " + ", ".join(missing), None
    if oauth["oauth_consumer_key"] != CONSUMER_KEY:
        return False, "unknown consumer key", None
    if oauth["oauth_signature_method"] != "HMAC-SHA1":
        return False, "signature method is not HMAC-SHA1", None
    if oauth.get("oauth_version", "1.0") != "1.0":
        return False, "oauth_version is not 1.0", None
    token = oauth.get("oauth_token")
    token_secret = ""
    if token is not None:
        token_secret = store.tokens.secret(token)
        if token_secret is None:
            return False, "unknown token", token
    request = types.SimpleNamespace(
        http_method=method, uri="https://%s%s" % (host, path), signature=oauth["oauth_signature"],
        params=[(n, v) for n, v in params if n != "oauth_signature"])
    try:
        valid = signature.verify_hmac_sha1(request, CONSUMER_SECRET, token_secret)
    except ValueError as error:
        return False, "cannot build the base string: %s" % error, token
    if not valid:
        return False, "signature does not match", token
    if not store.tokens.first_use(token, oauth["oauth_timestamp"], oauth["oauth_nonce"]):
        return False, "nonce already used with this timestamp", token
    return True, "", token


def echo(request):
    """Lists the received parameters, one name=value a line, sorted; for tests of signing."""
    lines = sorted("%s=%s" % pair for pair in request.params() if pair[0] != "oauth_signature")
    return servers.Response(200, "".join(line + "\n" for line in lines))


class Route:
    def __init__(self, prefix, handler, exact=False):
        self.prefix = prefix
        self.handler = handler
        self.exact = exact

    def matches(self, path):
        return path == self.prefix if self.exact else path.startswith(self.prefix)


ROUTES = [
    Route("/en/oauth/initialize/", endpoints.initialize, exact=True),
    Route("/en/oauth/login/", endpoints.login, exact=True),
    Route("/en/oauth/token/", endpoints.exchange, exact=True),
    Route("/en/downloader/userDetails/", endpoints.user_details, exact=True),
    Route(endpoints.GAME_DETAILS, endpoints.game_details),
    Route(endpoints.FILE_LINK, endpoints.file_link),
    Route("/test/echo/", echo),
]


class ApiHandler(servers.StoreHandler):
    def route(self, method, path, query, entry):
        store = self.server.store
        valid, reason, token = verify(store, method, self.headers.get("Host"), path, query)
        entry.signature_valid = valid
        if not valid:
            store.note("api: refused %s %s: %s" % (method, path, reason))
            return servers.text(401, "401 Unauthorized: %s\n" % reason)
        # Signed over the whole path; routed on what follows the base path.
        base = store.api_base_path
        if base:
            if not path.startswith(base + "/"):
                return servers.text(404, "404 Not Found: outside %s\n" % base)
            path = path[len(base):]
        for route in ROUTES:
            if route.matches(path):
                return route.handler(ApiRequest(store, method, path, query, token, self))
        return servers.text(404, "404 Not Found\n")
