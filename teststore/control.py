"""The control listener (plain HTTP, loopback): tests put resources and tokens in place, arm
faults, switch the site and read the request log. Its own requests are not logged."""

import http.server
import json
import urllib.parse

import content
import faults


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

    def _arm_fault(self):
        try:
            spec = json.loads(self.body.decode("utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError) as error:
            raise ControlError("fault is not JSON: %s" % error) from None
        self.server.store.faults.arm(faults.Fault(spec))
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
