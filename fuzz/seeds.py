#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora: a few small valid inputs per target, made here so that
no input files live in the repository. Usage: seeds.py OUTPUT_FOLDER (one sub-folder per target;
existing files are kept, so a corpus grown by earlier runs stays)."""
import pathlib
import struct
import sys

D0 = "0123456789abcdef0123456789abcdef"
D1 = "fedcba9876543210fedcba9876543210"
FILE_MD5 = "00112233445566778899aabbccddeeff"


def chunk_index_seeds():
    two = (
        '<?xml version="1.0" encoding="UTF-8"?>\n'
        f'<file name="game.bin" available="1" notavailablemsg="" timestamp="2011-03-03 14:05" '
        f'total_size="200" md5="{FILE_MD5}">\n'
        f'  <chunk id="0" from="0" to="99" method="md5">{D0}</chunk>\n'
        f'  <chunk id="1" from="100" to="199" method="md5">{D1}</chunk>\n'
        "</file>\n"
    )
    one = f'<file available="1" total_size="1" md5="{FILE_MD5}"><chunk id="0" from="0" to="0" method="md5">{D0}</chunk></file>'
    empty = f'<file available="1" total_size="0" md5="{FILE_MD5}"></file>'
    unavailable = '<file available="0" notavailablemsg="Soon" total_size="10" md5=""/>'
    return {"two": two, "one": one, "empty": empty, "unavailable": unavailable,
            **markup_seeds(two)}


def markup_seeds(document):
    """The document with the markup that holds no elements placed around and between its tags: a
    DOCTYPE with an internal subset (tags inside its brackets), comments, CDATA and processing
    instructions; and the nesting that a DOCTYPE hides from a scan that ends it at its first ">"
    (each repetition opens 250 elements, and the subset swallows the 250 end tags that follow)."""
    declaration, _, body = document.partition("\n")
    root_end = body.index(">") + 1
    first_end = body.index("</", root_end)
    subset = (
        '<!DOCTYPE r [\n  <!ELEMENT r ANY>\n  <!ATTLIST r a CDATA "1">\n  <!ENTITY e "<x>">\n'
        "  <x><y/></x> <!-- ]> --> <?pi ]>?>\n]>\n"
    )
    between = (
        body[:root_end] + "<!-- a comment with <tags> -->" + "<?pi data?>"
        + "<![CDATA[<not-a-tag>]]>" + body[root_end:first_end] + "<!--x-->"
        + body[first_end:]
    )
    unit = "<a>" * 250 + "<!DOCTYPE x [ >" + "</a>" * 250 + " ]>"
    return {
        "doctype": declaration + "\n" + subset + body,
        "doctype-plain": "<!DOCTYPE r>" + body,
        "between-tags": declaration + "\n" + between,
        "doctype-hides-nesting": unit * 600,
    }


def wide(text):
    data = text.encode("utf-16-le")
    return struct.pack("<H", len(data)) + data


def record(position, name, title, icon, total, installer, files, completed, folder):
    out = struct.pack("<i", position) + wide(name) + wide(title) + wide(icon)
    out += struct.pack("<Q", total) + wide(installer) + struct.pack("<I", len(files))
    for file_id, file_name, size in files:
        out += struct.pack("<I", file_id) + wide(file_name) + struct.pack("<Q", size)
    return out + struct.pack("<I", 1 if completed else 0) + wide(folder)


def record_seeds():
    a = record(0, "demo-game", "Demo Game", ".data//demo-game.png", 300, "",
               [(0, "setup/a.bin", 200), (1, "b.bin", 100)], False, "/home/u/Documents/Velkora Downloads/")
    b = record(2, "done", "Done \u00c9", "", 5, "setup.exe", [(0, "setup.exe", 5)], True, "/d/")
    c = record(-1, "", "", "", 0, "", [], False, "")
    # Stored under the names game0, game1, ... by the target: records named so load.
    stored = [
        record(1, "game0", "Zero", "", 10, "", [(0, "a", 10)], False, "/d/"),
        record(0, "GAME1", "One", "", 0, "", [], True, "/d/"),
        record(1, "game2", "Two", "", 0, "", [], False, "/d/"),
    ]
    separator = b"\xf0VR\xf0"
    return {"one": a, "completed": b, "empty": c, "three": separator.join(stored)}


def query_seeds():
    return {
        "token": "oauth_token=abc123&oauth_token_secret=s3cr%2Bt",
        "verifier": "oauth_verifier=v3r1f13r\nsecond line",
        "empty": "a=&=b&&c&d==e",
        "url": "https://user@api.example.com:443/en/downloader/gameDetails/demo?x=1#f",
        "number": "  -9223372036854775808",
        "utf8": "name=\u00e9\u20ac\U0001F600",
    }


def xml_seeds():
    details = (
        '<?xml version="1.0" encoding="UTF-8"?>\n<game><title>Demo &amp; Co</title>'
        "<icon>\n  https://cdn.example.com/icons/demo-game.png\n</icon>"
        '<installers><installer id="0" path="setup/a.bin"/><installer id="1" path="b.bin"/>'
        "</installers></game>"
    )
    link = "<file><cdn_link>https://cdn.example.com/files/a.bin?token=x</cdn_link></file>"
    user = (
        "<user><xywka>Name</xywka><email>e@example.com</email><avatar>"
        "<small>https://cdn.example.com/a/s.png</small><big>https://cdn.example.com/a/b.png</big>"
        "</avatar></user>"
    )
    forbidden = "<html><body><h1>403 Forbidden</h1><h3>you do not own this game</h3></body></html>"
    return {"details": details, "link": link, "user": user, "forbidden": forbidden,
            **markup_seeds(details)}


def handoff_seeds():
    url = '"velkdownloader://demo-game"'.encode("utf-16-le") + b"\0\0"
    minimized = "/minimized".encode("utf-16-le") + b"\0\0"
    return {"url": url, "minimized": minimized, "unterminated": "velkdownloader://x".encode("utf-16-le")}


def response_headers_seeds():
    return {
        "ranged": "HTTP/1.1 206 Partial Content\r\nContent-Type: application/octet-stream\r\n"
        "Content-Length: 100\r\nContent-Range: bytes 100-199/1000\r\n\r\n",
        "whole": "HTTP/2 200\r\ncontent-length: 1000\r\n\r\n",
        "unsatisfied": "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */1000\r\n\r\n",
        "interim": "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 206 Partial Content\r\n"
        "CONTENT-RANGE:bytes\t0-0/*\r\n\r\nX-Trailer: 1\r\n",
        "redirect": "HTTP/1.0 302 Found\nLocation: http://127.0.0.1/x\nContent-Length: 0\n\n"
        "HTTP/1.1 200 OK\nContent-Length: 18446744073709551615\n\n",
        "busy": "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 2\r\nContent-Length: 0\r\n\r\n",
        "busy_until": "HTTP/1.1 429 Too Many Requests\r\n"
        "retry-after: Sun, 06 Nov 1994 08:49:37 GMT\r\nRetry-After: 5\r\n\r\n",
    }


def log_redaction_seeds():
    # The fuzzer reads its input as choices and text; any bytes make a line.
    return {
        "query": b"\x03en/downloader/userDetails/\x01\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00"
        b"\x00\x00\x00\x00\x00\x00\x00\x00s%2B%3D\x01",
        "reply": b"\x01\x01\x01\x01\x04\x00\x00\x00\x00\x00\x00\x00\x00\x06\x05\x00\x01p&ss",
        "mixed": bytes(range(256)),
    }


def main():
    root = pathlib.Path(sys.argv[1])
    targets = {
        "chunk_index": chunk_index_seeds(),
        "record": record_seeds(),
        "query_string": query_seeds(),
        "xml_reply": xml_seeds(),
        "handoff": handoff_seeds(),
        "response_headers": response_headers_seeds(),
        "log_redaction": log_redaction_seeds(),
    }
    for target, seeds in targets.items():
        folder = root / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, content in seeds.items():
            data = content.encode("utf-8") if isinstance(content, str) else content
            (folder / f"seed-{name}").write_bytes(data)


if __name__ == "__main__":
    main()
