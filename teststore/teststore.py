#!/usr/bin/python3
"""Local stand-in for the store's servers, for tests and manual runs: the API (HTTPS, OAuth 1.0
signatures checked), the web site's status page (HTTPS), the content-delivery server (HTTPS and
plain HTTP, byte ranges) and a control listener for tests. Loopback only. See README.md."""

import argparse
import json
import os
import signal
import stat
import sys
import threading

sys.dont_write_bytecode = True  # keep the source tree free of __pycache__

import api  # noqa: E402
import cdn  # noqa: E402
import control  # noqa: E402
import servers  # noqa: E402
import state  # noqa: E402
import tls  # noqa: E402
import website  # noqa: E402


def _parse_args():
    parser = argparse.ArgumentParser(description=__doc__)
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--games", default=os.path.join(here, "games.json"),
                        help="JSON file with the games the store offers")
    parser.add_argument("--port", type=int, default=0,
                        help="0: free ports; N: api N, site N+1, cdn N+2, cdn_http N+3, "
                             "control N+4")
    parser.add_argument("--certificate", choices=tls.CERTIFICATE_KINDS, default="good",
                        help="the TLS listeners' certificate: good (issued by the CA file it "
                             "prints, for 127.0.0.1), wrong-host (issued by it for another "
                             "name), expired (issued by it, no longer valid) or self-signed "
                             "(not issued by it)")
    parser.add_argument("--content-url", default="",
                        help="base URL of file links (another server holding the content that "
                             "--export-content wrote); default: our own HTTPS CDN. Chunk-index "
                             "links always name our own HTTPS CDN")
    parser.add_argument("--export-content", metavar="DIR",
                        help="write every game's files and chunk indexes to DIR/secure/<game>/ "
                             "as the CDN serves them, then exit")
    parser.add_argument("--api-base-path", default="",
                        help="serve the API under this path (e.g. /api/v2), as a store behind "
                             "a gateway would; requests outside it answer 404")
    parser.add_argument("--verbose", action="store_true",
                        help="log every request and connection problem to stderr")
    return parser.parse_args()


def _watch_stdin(stop):
    """Stops the store when its standard input (a pipe from the program that started it)
    closes, so it never outlives a test that died without stopping it. A terminal or /dev/null
    as standard input is not watched."""
    try:
        mode = os.fstat(sys.stdin.fileno()).st_mode
    except (OSError, ValueError):
        return
    if not (stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode)):
        return

    def watch():
        try:
            while os.read(sys.stdin.fileno(), 4096):
                pass
        except OSError:
            pass
        stop.set()

    threading.Thread(target=watch, name="stdin-watch", daemon=True).start()


def _export(store, folder):
    """Writes the catalogue's content where a plain web server can serve it under the paths of
    our links (/secure/<game>/<path> and <path>.crc)."""
    try:
        for game in store.catalog.games():
            for game_file in game.files:
                game_file.export(os.path.join(folder, "secure", game.name))
    except OSError as error:
        print("teststore: cannot export the content: %s" % error, file=sys.stderr)
        return 1
    return 0


def main():
    args = _parse_args()
    stop = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stop.set())
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)

    try:
        store = state.Store(args.games)
    except (OSError, ValueError) as error:  # JSON and catalogue errors are ValueErrors
        print("teststore: cannot read the games: %s" % error, file=sys.stderr)
        return 2
    if args.export_content:
        return _export(store, args.export_content)
    store.content_url = args.content_url.rstrip("/")
    store.api_base_path = args.api_base_path.rstrip("/")
    material = tls.TlsMaterial(args.certificate)
    started, running = [], []
    try:
        def port(offset):
            return args.port + offset if args.port else 0

        listeners = [
            ("api", api.ApiHandler, material.context),
            ("site", website.SiteHandler, material.context),
            ("cdn", cdn.CdnHandler, material.context),
            ("cdn_http", cdn.CdnHandler, None),
            ("control", control.ControlHandler, None),
        ]
        urls = {}
        for offset, (name, handler, context) in enumerate(listeners):
            server = servers.StoreServer(name, port(offset), handler, store, context)
            started.append(server)
            urls[name] = server.url
        store.cdn_url = urls["cdn"]
        for server in started:
            servers.serve_in_thread(server)
            running.append(server)
        urls["ca_file"] = material.ca_file
        sys.stdout.write(json.dumps(urls) + "\n")
        sys.stdout.flush()
        store.note("serving api %s, site %s, cdn %s and %s, control %s; CA %s" % (
            urls["api"], urls["site"], urls["cdn"], urls["cdn_http"], urls["control"],
            material.ca_file))
        _watch_stdin(stop)
        while not stop.wait(0.5):
            pass
    finally:
        # Each shutdown waits for its loop's next poll; asking all at once keeps stopping quick.
        stoppers = [threading.Thread(target=server.shutdown) for server in running]
        for stopper in stoppers:
            stopper.start()
        for stopper in stoppers:
            stopper.join()
        for server in started:
            server.server_close()
        material.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
