"""The listeners' common machinery: threaded HTTP/1.1 servers (plain or TLS), the request
handler that logs every request, applies armed faults and writes responses with byte ranges."""

import http.server
import threading
import time

import content
from state import RequestEntry

BODY_BLOCK = 64 * 1024
_FLIP = bytes(b ^ 0xFF for b in range(256))


class Response:
    """What a route answers. `ranged` responses honour a Range header (CDN resources)."""

    def __init__(self, status, body=b"", content_type="text/plain; charset=utf-8",
                 headers=None, ranged=False):
        self.status = status
        if isinstance(body, str):
            body = body.encode("utf-8")
        self.body = body if isinstance(body, content.Resource) else content.BytesResource(
            body, content_type)
        self.headers = list(headers or [])
        self.ranged = ranged
        self.hang_up = False


def text(status, body):
    return Response(status, body)


def hang_up():
    """No answer at all: the connection is closed as soon as the request is read."""
    response = Response(0)
    response.hang_up = True
    return response


class StoreServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, name, port, handler_class, store, tls_context=None):
        self.name = name
        self.store = store
        self.tls_context = tls_context
        super().__init__(("127.0.0.1", port), handler_class)

    @property
    def url(self):
        scheme = "https" if self.tls_context else "http"
        return "%s://127.0.0.1:%d" % (scheme, self.server_address[1])

    def finish_request(self, request, client_address):
        # The TLS handshake runs here, on the connection's own thread, so a slow or failing
        # client never holds up the accepting loop.
        if self.tls_context is None:
            return super().finish_request(request, client_address)
        request.settimeout(30)
        try:
            tls = self.tls_context.wrap_socket(request, server_side=True)
        except OSError as error:
            if self.store.verbose:
                self.store.note("%s: TLS handshake failed: %s" % (self.name, error))
            return None
        try:
            return super().finish_request(tls, client_address)
        finally:
            _close_tls(tls)

    def handle_error(self, request, client_address):
        # A client that goes away mid-answer is normal in fault tests; report only in verbose mode.
        if self.store.verbose:
            super().handle_error(request, client_address)


def _close_tls(tls):
    try:
        # Sends close_notify without waiting for the peer's, so close-delimited bodies end cleanly.
        tls.settimeout(0)
        tls.unwrap()
    except (OSError, ValueError):
        pass
    try:
        tls.close()
    except OSError:
        pass


class StoreHandler(http.server.BaseHTTPRequestHandler):
    """Base of the api, site and cdn handlers; subclasses implement `route`."""

    protocol_version = "HTTP/1.1"
    server_version = "VelkTestStore/1.0"
    timeout = 60  # idle keep-alive connections end after a minute
    # Headers and body go out in separate writes: with Nagle's algorithm the body would wait for
    # the client's delayed acknowledgement of the headers (40 ms on Linux) on every small answer,
    # a stall that real servers avoid (they turn Nagle off on kept-alive connections).
    disable_nagle_algorithm = True

    def version_string(self):
        return self.server_version

    def setup(self):
        super().setup()
        self.connection_number = self.server.store.next_connection()

    def log_message(self, format, *args):  # noqa: A002 (the base class's name)
        if self.server.store.verbose:
            self.server.store.note("%s: %s" % (self.server.name, format % args))

    def do_GET(self):
        self._serve("GET")

    def do_HEAD(self):
        self._serve("HEAD")

    def do_POST(self):
        self._serve("POST")

    def do_PUT(self):
        self._serve("PUT")

    def do_DELETE(self):
        self._serve("DELETE")

    def route(self, method, path, query, entry):
        raise NotImplementedError

    def _serve(self, method):
        store = self.server.store
        path, _, query = self.path.partition("?")
        entry = RequestEntry(self.server.name, method, path, query,
                             self.headers.get("Range", ""), self.connection_number)
        store.log.add(entry)
        self.request_body = self._read_body()
        fault = store.faults.take(self.server.name, method, path)
        if fault is not None and fault.stall_seconds:
            time.sleep(fault.stall_seconds)
        try:
            response = self.route(method, path, query, entry)
        except Exception as error:  # a fault in the store itself: answer it, don't hang the client
            store.note("%s: %s %s failed: %r" % (self.server.name, method, path, error))
            response = text(500, "teststore error: %r\n" % error)
        if fault is not None:
            response = _shape(response, fault)
        self._send(response, entry, fault, method == "HEAD")

    def _read_body(self):
        length = self.headers.get("Content-Length")
        if not length:
            return b""
        try:
            return self.rfile.read(int(length))
        except ValueError:
            self.close_connection = True
            return b""

    def _send(self, response, entry, fault, head):
        if response.hang_up:
            entry.status = 0
            self.close_connection = True
            return
        body = response.body
        size = body.size
        status = response.status
        first, last = 0, size - 1
        headers = list(response.headers)
        if response.ranged:
            headers.append(("Accept-Ranges", "bytes"))
            if not (fault and fault.ignore_range):
                kind, a, b = content.parse_range(self.headers.get("Range"), size)
                if kind == "partial":
                    status, first, last = 206, a, b
                    headers.append(("Content-Range", "bytes %d-%d/%d" % (a, b, size)))
                elif kind == "unsatisfiable":
                    status, first, last = 416, 0, -1
                    headers.append(("Content-Range", "bytes */%d" % size))
        if fault and fault.wrong_content_range:
            headers = [h for h in headers if h[0] != "Content-Range"]
            if isinstance(fault.wrong_content_range, str):
                claimed = fault.wrong_content_range
            else:  # claims the range one byte further on than the bytes actually sent
                claimed = "bytes %d-%d/%d" % (first + 1, last + 1, size + 1)
            headers.append(("Content-Range", claimed))
        if fault and fault.retry_after is not None:
            headers.append(("Retry-After", str(fault.retry_after)))
        length = max(0, last - first + 1)
        no_length = bool(fault and (fault.no_content_length or fault.broken_chunked))

        entry.status = status
        try:
            self.send_response(status)
            headers.append(("Content-Type", body.content_type))
            if fault and fault.broken_chunked:
                headers.append(("Transfer-Encoding", "chunked"))
            if no_length:
                headers.append(("Connection", "close"))
            else:
                headers.append(("Content-Length", str(length)))
            for name, value in headers:
                self.send_header(name, value)
            self.end_headers()
        except OSError:
            entry.status = 0
            self.close_connection = True
            return
        if head:
            return
        if fault and fault.stall_after_headers:
            time.sleep(fault.stall_after_headers)
        limit = length
        if fault and fault.cut_after is not None and fault.cut_after < length:
            limit = fault.cut_after
            self.close_connection = True
        drop = fault.drop_point(length) if fault else None
        if drop is not None and drop < limit:
            limit = drop
            self.close_connection = True
        if no_length:
            self.close_connection = True
        if fault and fault.broken_chunked:
            # One well-formed chunk of the body, then a size line that is no hexadecimal number.
            data = body.read(first, min(limit, 1000))
            self._write(b"%x\r\n" % len(data) + data + b"\r\nzz-not-a-size\r\n" + data, entry)
            return
        self._pump(body, first, limit, entry, fault)
        if fault and fault.extra_bytes:
            # More than the Content-Length promised, left on the connection for the next answer.
            self._write(b"X" * fault.extra_bytes, entry)

    def _pump(self, body, first, limit, entry, fault):
        rate = fault.rate if fault else None
        block = BODY_BLOCK if not rate else max(1, min(BODY_BLOCK, int(rate / 20)))
        started = time.monotonic()
        sent = 0
        while sent < limit:
            data = body.read(first + sent, min(block, limit - sent))
            if not data:
                break
            if sent == 0 and fault and fault.corrupt:
                data = bytes([data[0] ^ 0xFF]) + data[1:]
            if fault and fault.corrupt_range:
                data = _flip_range(data, first + sent, fault.corrupt_range)
            if not self._write(data, entry):
                self.close_connection = True
                return
            sent += len(data)
            if rate:
                due = started + sent / rate
                delay = due - time.monotonic()
                if delay > 0:
                    time.sleep(delay)

    def _write(self, data, entry):
        """Writes all of `data`, keeping entry.bytes_sent ahead of what the client can have seen:
        the count grows before each send and shrinks by what the send did not take."""
        view = memoryview(data)
        while view:
            entry.bytes_sent += len(view)
            try:
                n = self.connection.send(view)
            except (OSError, ValueError):
                entry.bytes_sent -= len(view)
                return False
            entry.bytes_sent -= len(view) - n
            view = view[n:]
        return True


def _flip_range(data, offset, byte_range):
    """`data`, which starts at `offset` of its resource, with the bytes that fall inside
    byte_range = [from, to] (offsets in the resource) inverted."""
    start = max(byte_range[0], offset) - offset
    end = min(byte_range[1], offset + len(data) - 1) - offset
    if start > end:
        return data
    return data[:start] + data[start:end + 1].translate(_FLIP) + data[end + 1:]


def _spoil_index(response, fault):
    """The chunk index with the digest the fault names made wrong; a 500 with the reason when
    the response is not a chunk index, so a misplaced fault is seen at once."""
    spoiled = getattr(response.body, "spoiled", None)
    if spoiled is None:
        return text(500, "Fault: wrong_chunk/wrong_file_md5 armed on a response that is not a "
                         "chunk index\n")
    try:
        body = spoiled(fault.wrong_chunk, fault.wrong_file_md5)
    except ValueError as error:
        return text(500, "Fault: %s\n" % error)
    return Response(response.status, body, headers=response.headers, ranged=response.ranged)


def _shape(response, fault):
    """The response as a fault changes it: a spoiled chunk index, another status, body or a
    redirect."""
    if fault.wrong_chunk is not None or fault.wrong_file_md5:
        response = _spoil_index(response, fault)
    if fault.redirect is not None:
        status = fault.status or 302
        body = fault.body if fault.body is not None else "Moved to %s\n" % fault.redirect
        return Response(status, body, headers=[("Location", fault.redirect)])
    if fault.status is not None:
        body = fault.body if fault.body is not None else "Fault: status %d\n" % fault.status
        return Response(fault.status, body)
    if fault.body is not None:
        return Response(response.status, fault.body)
    return response


def serve_in_thread(server):
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05},
                              name=server.name, daemon=True)
    thread.start()
    return thread

