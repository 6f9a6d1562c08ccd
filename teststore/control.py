"""The control listener (plain HTTP, loopback): tests put resources and tokens in place, revoke
tokens, change the game catalogue, arm faults, switch the site and read the request log. Its own
requests are not logged."""

import http.server
import json
import urllib.parse

import content
import faults
import games


class ControlError(Exception):
    pass


class ControlHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VelkTestStoreControl/1.0"
    timeout = 60

    def version_string(self):
        return self.server_version

    def log_message(self, format, *args):  # noqa: A002
        if self.server.store.verbose:
            self.server.store.note("control: " + format % args)

    def do_GET(self):
        self._dispatch("GET")

    def do_POST(self):
        self._dispatch("POST")

    def do_DELETE(self):
        self._dispatch("DELETE")

    def _dispatch(self, method):
        path, _, query = self.path.partition("?")
        self.args = dict(urllib.parse.parse_qsl(query, keep_blank_values=True))
        length = int(self.headers.get("Content-Length") or 0)
        self.body = self.rfile.read(length) if length else b""
        action = {
            ("POST", "/resource"): self._put_resource,
            ("POST", "/token"): self._add_token,
            ("POST", "/revoke"): self._revoke_token,
            ("GET", "/tokens"): self._list_tokens,
            ("GET", "/file"): self._describe_file,
            ("POST", "/file"): self._change_file,
            ("POST", "/owned"): self._set_owned,
            ("POST", "/game"): self._put_game,
            ("DELETE", "/game"): self._remove_game,
            ("POST", "/fault"): self._arm_fault,
            ("GET", "/faults"): self._list_faults,
            ("DELETE", "/faults"): self._clear_faults,
            ("POST", "/site"): self._site,
            ("GET", "/requests"): self._requests,
            ("DELETE", "/requests"): self._clear_requests,
        }.get((method, path))
        if action is None:
            return self._answer(404, "no such control action: %s %s\n" % (method, path))
        try:
            self._answer(200, action())
        except (ControlError, ValueError) as error:
            self._answer(400, "%s\n" % error)

    def _answer(self, status, text):
        data = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def _arg(self, name):
        if name not in self.args:
            raise ControlError("missing parameter %r" % name)
        return self.args[name]

    def _put_resource(self):
        path = self._arg("path")
        if not path.startswith("/"):
            raise ControlError("a resource path starts with /")
        if "seed" in self.args:  # generated content: ?path=..&seed=..&size=..
            resource = content.SeededResource(self.args["seed"], int(self._arg("size")))
        else:
            resource = content.BytesResource(self.body)
        self.server.store.resources.put(path, resource)
        return "OK\n"

    def _add_token(self):
        form = dict(urllib.parse.parse_qsl(self.body.decode("utf-8"), keep_blank_values=True))
        form.update(self.args)
        if "token" not in form or "secret" not in form:
            raise ControlError("give token and secret")
        self.server.store.tokens.add(form["token"], form["secret"])
        return "OK\n"

    def _revoke_token(self):
        if not self.server.store.tokens.revoke(self._arg("token")):
            raise ControlError("no such token")
        return "OK\n"

    def _list_tokens(self):
        return "".join("%s\t%s\t%s\n" % entry for entry in self.server.store.tokens.listing())

    def _game_file(self):
        game = self.server.store.catalog.game(self._arg("game"))
        if game is None:
            raise ControlError("no game %r" % self.args["game"])
        game_file = game.file(self._int_arg("id"))
        if game_file is None:
            raise ControlError("game %r has no file %s" % (game.name, self.args["id"]))
        return game, game_file

    def _int_arg(self, name):
        try:
            return int(self._arg(name))
        except ValueError:
            raise ControlError("%s is a number" % name) from None

    def _describe_file(self):
        game, f = self._game_file()
        cdn = self.server.store.link_base()
        facts = [("path", f.path), ("size", f.size), ("seed", f.seed),
                 ("chunk_size", f.chunk_size), ("timestamp", f.timestamp),
                 ("available", int(f.available)), ("notavailablemsg", f.notavailablemsg),
                 ("url", games.Catalog.file_link(cdn, game, f)),
                 ("index_url", games.Catalog.file_link(self.server.store.cdn_url, game, f, index=True))]
        if self.args.get("md5") == "1":  # hashing a large file takes a while: only on request
            facts.append(("md5", f.digests()[0]))
        return "".join("%s=%s\n" % fact for fact in facts)

    def _change_file(self):
        game, f = self._game_file()
        changes = {}
        for name in ("timestamp", "seed", "notavailablemsg"):
            if name in self.args:
                changes[name] = self.args[name]
        for name in ("size", "chunk_size"):
            if name in self.args:
                changes[name] = self._int_arg(name)
        if "available" in self.args:
            changes["available"] = self._flag("available")
        if not changes:
            raise ControlError("nothing to change")
        self.server.store.catalog.change_file(game.name, f.id, changes)
        return "OK\n"

    def _flag(self, name):
        value = self._arg(name)
        if value not in ("0", "1"):
            raise ControlError("%s is 0 or 1" % name)
        return value == "1"

    def _set_owned(self):
        self.server.store.catalog.set_owned(self._arg("game"), self._flag("owned"))
        return "OK\n"

    def _put_game(self):
        try:
            fields = json.loads(self.body.decode("utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError) as error:
            raise ControlError("game is not JSON: %s" % error) from None
        self.server.store.catalog.put_game(fields)
        return "OK\n"

    def _remove_game(self):
        self.server.store.catalog.remove_game(self._arg("name"))
        return "OK\n"

    def _arm_fault(self):
        try:
            fields = json.loads(self.body.decode("utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError) as error:
            raise ControlError("fault is not JSON: %s" % error) from None
        self.server.store.faults.arm(faults.Fault(fields))
        return "OK\n"

    def _list_faults(self):
        return "".join(json.dumps(f) + "\n" for f in self.server.store.faults.armed())

    def _clear_faults(self):
        self.server.store.faults.clear()
        return "OK\n"

    def _site(self):
        up = self._arg("up")
        if up not in ("0", "1"):
            raise ControlError("up is 0 or 1")
        self.server.store.site_up = up == "1"
        return "OK\n"

    def _requests(self):
        return self.server.store.log.text()

    def _clear_requests(self):
        self.server.store.log.clear()
        return "OK\n"
