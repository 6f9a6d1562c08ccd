"""Throw-away TLS material for one run of the store: a CA and a server certificate for
127.0.0.1 and localhost, made with the openssl command in a private temporary folder."""

import os
import secrets
import shutil
import ssl
import subprocess
import tempfile

_SERVER_EXTENSIONS = """\
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""


CERTIFICATE_KINDS = ("good", "wrong-host", "expired", "self-signed")

_WRONG_HOST_EXTENSIONS = _SERVER_EXTENSIONS.replace(
    "subjectAltName = IP:127.0.0.1, DNS:localhost", "subjectAltName = DNS:store.invalid")


def _openssl(folder, *args):
    result = subprocess.run(["openssl", *args], cwd=folder, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (args[0], result.stderr.strip()))


class TlsMaterial:
    """Owns the temporary folder; `close` removes it (and is safe to call twice)."""

    def __init__(self, kind="good"):
        if kind not in CERTIFICATE_KINDS:
            raise ValueError("unknown certificate kind %r" % kind)
        self.folder = tempfile.mkdtemp(prefix="velk-teststore-")
        try:
            self._make(kind)
        except BaseException:
            self.close()
            raise
        self.ca_file = os.path.join(self.folder, "ca.pem")
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(os.path.join(self.folder, "server.pem"),
                                     os.path.join(self.folder, "server.key"))

    def _make(self, kind):
        # EC keys: generating them takes milliseconds, so starting a store per test stays cheap.
        curve = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        _openssl(self.folder, "req", "-x509", *curve, "-keyout", "ca.key", "-out", "ca.pem",
                 "-days", "2", "-subj", "/CN=VelkDownloader test store CA",
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        subject = "/CN=store.invalid" if kind == "wrong-host" else "/CN=127.0.0.1"
        _openssl(self.folder, "req", "-new", *curve, "-keyout", "server.key",
                 "-out", "server.csr", "-subj", subject)
        with open(os.path.join(self.folder, "server.ext"), "w", encoding="ascii") as ext:
            ext.write(_WRONG_HOST_EXTENSIONS if kind == "wrong-host" else _SERVER_EXTENSIONS)
        # Expired: valid for no time at all, so it has expired by the first connection.
        days = "0" if kind == "expired" else "2"
        if kind == "self-signed":
            _openssl(self.folder, "x509", "-req", "-in", "server.csr", "-key", "server.key",
                     "-days", days, "-extfile", "server.ext", "-out", "server.pem")
        else:
            _openssl(self.folder, "x509", "-req", "-in", "server.csr", "-CA", "ca.pem",
                     "-CAkey", "ca.key", "-set_serial", "0x" + secrets.token_hex(8),
                     "-days", days, "-extfile", "server.ext", "-out", "server.pem")

    def close(self):
        if self.folder:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None
