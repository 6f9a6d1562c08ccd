#!/usr/bin/python3
"""Runs the download benchmark (see bench/README.md): velkdownloader-cli with 6 and 20
connections, aria2c on a Metalink of the same files and curl on one connection, each on an
unthrottled loopback nginx and on one that limits every connection to 8 MiB/s. Cases run
interleaved, run after run, so that a busy machine slows all of them alike; the table shows
medians."""

import argparse
import datetime
import hashlib
import json
import os
import shutil
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
import xml.etree.ElementTree as ET

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TESTSTORE = os.path.join(REPO, "teststore", "teststore.py")
GAME = "bench-game"
MIB = 1 << 20
CHUNK = 10 * MIB
FULL_SIZES = [768 * MIB, 192 * MIB, 48 * MIB]
# The big game: one file too large for a 32-bit offset and for the page cache of a small
# machine, so that what a program writes, and keeps on disk at once, shows in full.
BIG_SIZES = [4096 * MIB]
GAMES = ("full", "quick", "big")
RATE = 8 * MIB  # nginx "limit_rate 8m": 8 MiB/s per request, one request at a time a connection
TOKEN, SECRET = "bench-token", "bench-secret"
SETTINGS_KEY = "Software\\Velkora\\VelkDownloader"
REG_SZ = 1
LIMIT_S = 900  # one case may take this long before it counts as failed

# name, tool, connections
CASES = [
    ("ours-6", "ours", 6),
    ("ours-20", "ours", 20),
    ("base-6", "base", 6),
    ("base-20", "base", 20),
    ("aria2c-6", "aria2c", 6),
    ("curl-1", "curl", 1),
]
# Our program under its own speed limit (--limit-rate, MiB/s): run only when named in --cases.
LIMIT_CASES = [("ours-%d-limit%d" % (connections, limit), "ours", connections)
               for connections in (2, 6, 20) for limit in (1, 8, 50)]
CONDITIONS = ["unthrottled", "8MiB/s"]


def case_limit(case):
    """The speed limit of a case in MiB/s, or None."""
    return int(case.rsplit("-limit", 1)[1]) if "-limit" in case else None


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=os.path.join(REPO, "build-bench"))
    parser.add_argument("--quick", action="store_true",
                        help="a game of about 100 MiB (the same as --game quick)")
    parser.add_argument("--game", choices=GAMES, default="",
                        help="full: three files, 1008 MiB (default); quick: a tenth of it; "
                             "big: one file of 4 GiB")
    parser.add_argument("--runs", type=int, default=0,
                        help="runs per case (default 5 quick, 3 full)")
    parser.add_argument("--cases", default="",
                        help="comma-separated case names to run (default all)")
    parser.add_argument("--conditions", default="",
                        help="comma-separated: unthrottled, 8MiB/s (default both)")
    parser.add_argument("--seed", default="velk-bench-1")
    parser.add_argument("--label", default="", help="a word for the results file's name")
    parser.add_argument("--baseline", default="",
                        help="another velkdownloader-cli, run as the cases base-6 and base-20")
    parser.add_argument("--homes-in", default="",
                        help="a folder for the runs' fresh homes and so their downloads, for "
                             "example a tmpfs, where flushing costs nothing (default: the build "
                             "folder's run/)")
    parser.add_argument("--perf", action="store_true",
                        help="record a cpu-clock profile of every run of our program "
                             "(perf-<case>-<condition>-<run>.data in the results folder)")
    return parser.parse_args()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def note(text):
    print(text, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------------
# The game: files and chunk indexes made once per size and seed by the test store's generator.

class Game:
    """`kind` is one of GAMES: the 1 GiB game of three files, a tenth of it, or one 4 GiB
    file."""

    def __init__(self, build, kind, seed):
        self.kind = kind
        self.sizes = {"full": FULL_SIZES, "quick": [s // 10 for s in FULL_SIZES],
                      "big": BIG_SIZES}[kind]
        tag = "%s-%s" % (kind, seed)
        self.folder = os.path.join(build, "data", tag)
        self.content = os.path.join(self.folder, "content")  # nginx's root
        self.games_json = os.path.join(self.folder, "games.json")
        self.paths = ["bench/part%d.bin" % i for i in range(len(self.sizes))]
        self.seed = seed
        self.total = sum(self.sizes)
        self.files = []  # (path, size, md5, [chunk md5s])

    def prepare(self):
        done = os.path.join(self.folder, "complete")
        if not os.path.exists(done):
            shutil.rmtree(self.folder, ignore_errors=True)
            os.makedirs(self.folder)
            catalogue = {"games": [{"name": GAME, "title": "Bench Game", "owned": True, "files": [
                {"id": i, "path": p, "size": s, "seed": "%s/%d" % (self.seed, i),
                 "chunk_size": CHUNK, "timestamp": "1714557700"}
                for i, (p, s) in enumerate(zip(self.paths, self.sizes))]}]}
            with open(self.games_json, "w") as f:
                json.dump(catalogue, f)
            note("making the game's files (%d MiB) from seed %s..." % (self.total // MIB,
                                                                       self.seed))
            subprocess.run(["/usr/bin/python3", TESTSTORE, "--games", self.games_json,
                            "--export-content", self.content], check=True)
            open(done, "w").close()
        for path, size in zip(self.paths, self.sizes):
            index = ET.parse(os.path.join(self.content, "secure", GAME, path + ".crc")).getroot()
            chunks = [c.text for c in index.findall("chunk")]
            self.files.append((path, size, index.get("md5"), chunks))

    def url(self, base, path):
        return "%s/secure/%s/%s" % (base, GAME, path)

    def write_metalink(self, target, base):
        ns = "urn:ietf:params:xml:ns:metalink"
        root = ET.Element("metalink", xmlns=ns)
        for path, size, md5, chunks in self.files:
            f = ET.SubElement(root, "file", name=path)
            ET.SubElement(f, "size").text = str(size)
            ET.SubElement(f, "hash", type="md5").text = md5
            pieces = ET.SubElement(f, "pieces", length=str(CHUNK), type="md5")
            for digest in chunks:
                ET.SubElement(pieces, "hash").text = digest
            ET.SubElement(f, "url").text = self.url(base, path)
        ET.ElementTree(root).write(target, xml_declaration=True, encoding="UTF-8")


# ---------------------------------------------------------------------------------------------
# Servers: nginx for the content (two listeners), the test store for the API.

class Nginx:
    def __init__(self, folder, root):
        self.folder = folder
        os.makedirs(os.path.join(folder, "temp"), exist_ok=True)
        self.ports = {"unthrottled": free_port(), "8MiB/s": free_port()}
        conf = os.path.join(folder, "nginx.conf")
        temp = os.path.join(folder, "temp")
        with open(conf, "w") as f:
            f.write("""
daemon off;
worker_processes 1;
pid %(dir)s/nginx.pid;
error_log %(dir)s/error.log warn;
events { worker_connections 512; }
http {
    default_type application/octet-stream;
    log_format bench '$connection $connection_requests $status $body_bytes_sent "$http_range" '
                     '$msec $request_time';
    access_log %(dir)s/access.log bench;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    keepalive_timeout 60s;
    client_body_temp_path %(temp)s/body;
    proxy_temp_path %(temp)s/proxy;
    fastcgi_temp_path %(temp)s/fastcgi;
    uwsgi_temp_path %(temp)s/uwsgi;
    scgi_temp_path %(temp)s/scgi;
    server { listen 127.0.0.1:%(open)d; root %(root)s; }
    server { listen 127.0.0.1:%(slow)d; root %(root)s; limit_rate %(rate)dk; }
}
""" % {"dir": folder, "temp": temp, "root": root, "open": self.ports["unthrottled"],
       "slow": self.ports["8MiB/s"], "rate": RATE // 1024})
        self.process = subprocess.Popen(["/usr/sbin/nginx", "-c", conf, "-p", folder],
                                        stdin=subprocess.DEVNULL)
        for _ in range(100):
            try:
                with socket.create_connection(("127.0.0.1", self.ports["8MiB/s"]), 0.2):
                    return
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise RuntimeError("nginx did not start; see %s/error.log" % folder)

    def base(self, condition):
        return "http://127.0.0.1:%d" % self.ports[condition]

    def access_log(self):
        return os.path.join(self.folder, "access.log")

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Store:
    """The test store with the bench token in place. File links lead to `content_url` (another
    server holding the same content) when given, else to the store's own HTTPS CDN."""

    def __init__(self, games_json, content_url=""):
        extra = ["--content-url", content_url] if content_url else []
        self.process = subprocess.Popen(
            ["/usr/bin/python3", TESTSTORE, "--games", games_json] + extra,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline()
        if not line:
            self.stop()
            raise RuntimeError("the test store did not start")
        self.urls = json.loads(line)
        request = urllib.request.Request(
            self.urls["control"] + "/token", method="POST",
            data=("token=%s&secret=%s" % (TOKEN, SECRET)).encode())
        urllib.request.urlopen(request).read()

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()  # the store ends when its standard input closes
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.terminate()
                self.process.wait()


# ---------------------------------------------------------------------------------------------
# One run of one case.

def utf16z(text):
    return (text + "\0").encode("utf-16-le")


def make_home(root):
    """A fresh home whose settings already hold the store's access token, as an earlier
    sign-in would have left it."""
    home = tempfile.mkdtemp(prefix="home-", dir=root)
    env = {"HOME": home}
    for name, sub in (("XDG_CONFIG_HOME", ".config"), ("XDG_DATA_HOME", ".local/share"),
                      ("XDG_CACHE_HOME", ".cache"), ("XDG_STATE_HOME", ".local/state"),
                      ("XDG_RUNTIME_DIR", "run")):
        env[name] = os.path.join(home, sub)
        os.makedirs(env[name], mode=0o700, exist_ok=True)
    registry = os.path.join(env["XDG_CONFIG_HOME"], "VelkDownloader")
    os.makedirs(registry, mode=0o700)
    db = sqlite3.connect(os.path.join(registry, "registry.sqlite3"))
    db.executescript(
        "CREATE TABLE reg_keys(key TEXT PRIMARY KEY COLLATE NOCASE);"
        "CREATE TABLE reg_values(key TEXT NOT NULL COLLATE NOCASE,"
        " name TEXT NOT NULL COLLATE NOCASE, type INTEGER NOT NULL, data BLOB NOT NULL,"
        " PRIMARY KEY(key, name));")
    parts = SETTINGS_KEY.split("\\")
    for i in range(1, len(parts) + 1):
        db.execute("INSERT INTO reg_keys(key) VALUES(?)", ("\\".join(parts[:i]),))
    for name, value in (("token", TOKEN), ("secret", SECRET)):
        db.execute("INSERT INTO reg_values VALUES(?, ?, ?, ?)",
                   (SETTINGS_KEY, name, REG_SZ, utf16z(value)))
    db.commit()
    db.close()
    return home, env


def command(case, tool, connections, game, build, base, downloads, scratch):
    if tool in ("ours", "base"):
        program = os.path.join(build, "cli", "velkdownloader-cli") if tool == "ours" else baseline
        limit = case_limit(case)
        return [program, "--connections", str(connections), "--folder", downloads] + (
            ["--limit-rate", "%dM" % limit] if limit else []) + ["velkdownloader://" + GAME]
    if tool == "aria2c":
        metalink = os.path.join(scratch, "game.meta4")
        game.write_metalink(metalink, base)
        return ["/usr/bin/aria2c", "--check-integrity=true", "-x%d" % connections,
                "-s%d" % connections, "--min-split-size=10M", "--file-allocation=none",
                "-j1", "--quiet=true", "--auto-file-renaming=false", "--allow-overwrite=true",
                "--follow-metalink=mem", "--metalink-file=" + metalink, "-d", downloads]
    if tool == "curl":
        args = ["/usr/bin/curl", "--silent", "--show-error", "--fail", "--create-dirs"]
        for path, *_ in game.files:
            args += ["-o", os.path.join(downloads, path), game.url(base, path)]
        return args
    raise ValueError(case)


def check_result(game, downloads):
    """(True, "") when the folder holds exactly the game's files with the right digests."""
    found = {}
    for folder, _, names in os.walk(downloads):
        for name in names:
            full = os.path.join(folder, name)
            found[os.path.relpath(full, downloads)] = full
    problems = []
    for path, size, md5, _ in game.files:
        # Our program puts the game's files into a folder of the game's own.
        match = [k for k in found if k == path or k.endswith("/" + path)]
        if len(match) != 1:
            problems.append("missing %s" % path)
            continue
        full = found.pop(match[0])
        digest = hashlib.md5()
        with open(full, "rb") as f:
            while True:
                block = f.read(8 * MIB)
                if not block:
                    break
                digest.update(block)
        if os.path.getsize(full) != size or digest.hexdigest() != md5:
            problems.append("wrong %s" % path)
    if found:
        problems.append("left behind: %s" % ", ".join(sorted(found)[:4]))
    return not problems, "; ".join(problems)


def device_sectors_written():
    """Sectors written to the block devices so far (partitions left out)."""
    total = 0
    for name in os.listdir("/sys/block"):
        if name.startswith(("loop", "ram", "zram")):
            continue
        try:
            with open("/sys/block/%s/stat" % name) as f:
                total += int(f.read().split()[6])
        except (OSError, ValueError, IndexError):
            pass
    return total


def folder_bytes_on_disk(folder):
    """The bytes every file under `folder` takes on disk (st_blocks * 512): what a download
    really holds of the disk at that moment, sparse files and preallocation included. Files
    that go while it walks are left out."""
    total = 0
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return 0
    for entry in entries:
        try:
            if entry.is_dir(follow_symlinks=False):
                total += folder_bytes_on_disk(entry.path)
            else:
                total += entry.stat(follow_symlinks=False).st_blocks * 512
        except OSError:
            pass
    return total


def descendants(pid):
    """The processes below `pid` (children, theirs, ...), from /proc."""
    found, todo = [], [pid]
    while todo:
        parent = todo.pop()
        try:
            with open("/proc/%d/task/%d/children" % (parent, parent)) as f:
                children = [int(c) for c in f.read().split()]
        except (OSError, ValueError):
            continue
        found += children
        todo += children
    return found


def write_bytes(pid):
    """The bytes a process has caused to be written to storage so far (/proc/<pid>/io
    write_bytes: counted when it dirties a page of the page cache, or submits direct I/O),
    or None when it is gone."""
    try:
        with open("/proc/%d/io" % pid) as f:
            for line in f:
                if line.startswith("write_bytes:"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return None


class Watch(threading.Thread):
    """Samples every `period` seconds, until stop(), the download folder's size on disk (its
    peak) and the bytes written by the processes below `pid` (the program under bench/usage.c, and
    perf when profiling). Runs on a thread of its own; the caller reads the figures after
    stop()."""

    def __init__(self, pid, folder, period=0.1):
        super().__init__(daemon=True)
        self.pid = pid
        self.folder = folder
        self.period = period
        self.peak = 0
        self.written = 0  # the last sample; the exact final figure comes from bench/usage.c
        self.samples = 0
        self._done = threading.Event()

    def run(self):
        while True:
            self.sample()
            if self._done.wait(self.period):
                return

    def sample(self):
        self.peak = max(self.peak, folder_bytes_on_disk(self.folder))
        counts = [write_bytes(p) for p in descendants(self.pid)]
        counts = [c for c in counts if c is not None]
        if counts:
            self.written = max(self.written, sum(counts))
        self.samples += 1

    def stop(self):
        """Ends the sampling, with one last sample of the folder: what the program left there
        counts towards the peak even when it ended between two samples."""
        self._done.set()
        self.join()
        self.sample()


def run_case(case, tool, connections, game, build, base, root, log):
    home, env = make_home(root)
    downloads = os.path.join(home, "downloads")
    os.makedirs(downloads)
    full_env = dict(os.environ, **env)
    if tool in ("ours", "base"):
        full_env.update(store_env)
    # bench/usage.c measures from a small process of its own (a child forked from this Python
    # process would report this process's peak memory as its own when that is the larger one),
    # like GNU time, and also reads the program's /proc/<pid>/io once it has ended but before it
    # is reaped: write_bytes, what the program and every descendant it reaped wrote into the page
    # cache for storage, and cancelled_write_bytes, the part of it dropped before it reached the
    # disk because the file was deleted or cut short while still dirty. Their difference is what
    # the run costs the disk; both are exact final counts, which a sample of /proc/<pid>/io taken
    # up to 100 ms earlier is not.
    usage_file = os.path.join(home, "usage.txt")
    args = [os.path.join(build, "usage"), usage_file] + command(
        case, tool, connections, game, build, base, downloads, home)
    if profile_to and tool in ("ours", "base"):
        # perf runs under the measured child, so the usage figures then include perf's own.
        args[2:2] = ["perf", "record", "-q", "-e", "cpu-clock", "-F", "2000", "-g", "-o",
                     profile_to % case]
    out = open(os.path.join(home, "output.txt"), "wb")
    os.sync()
    written_before = device_sectors_written()
    start = time.monotonic()
    process = subprocess.Popen(args, env=full_env, stdin=subprocess.DEVNULL, stdout=out,
                               stderr=subprocess.STDOUT)
    watch = Watch(process.pid, downloads)
    watch.start()
    try:
        status = process.wait(LIMIT_S)
    except subprocess.TimeoutExpired:
        process.kill()
        status = process.wait()
    wall = time.monotonic() - start
    watch.stop()
    written_mib = (device_sectors_written() - written_before) * 512 / MIB
    out.close()
    try:
        with open(usage_file) as f:
            _, user, system, peak_kib, dirtied, cancelled = f.read().split()[-6:]
        if int(dirtied) < 0 or int(cancelled) < 0:
            raise ValueError("no I/O counts")
        program_dirtied = int(dirtied)
        program_written = int(dirtied) - int(cancelled)
    except (OSError, ValueError):
        user, system, peak_kib, program_written, program_dirtied = "nan", "nan", "nan", None, None
    ok, why = (False, "exit %d" % status) if status != 0 else check_result(game, downloads)
    if not ok:
        with open(os.path.join(home, "output.txt"), "rb") as f:
            tail = f.read()[-2000:].decode("utf-8", "replace")
        log.write("%s failed: %s\n%s\n" % (case, why, tail))
        log.flush()
    shutil.rmtree(home, ignore_errors=True)
    return {"wall": wall, "cpu": float(user) + float(system), "user": float(user),
            "sys": float(system), "rss_mib": float(peak_kib) / 1024.0, "ok": ok, "why": why,
            "disk_mib": written_mib,
            # Exact, read at the end (see above); the last 100 ms sample is kept to compare.
            "written_mib": program_written / MIB if program_written is not None else
            watch.written / MIB, "written_sampled_mib": watch.written / MIB,
            "dirtied_mib": program_dirtied / MIB if program_dirtied is not None else None,
            "written_exact": program_written is not None, "peak_mib": watch.peak / MIB}


store_env = {}
baseline = ""
profile_to = ""


def served_rate(log_path, since):
    """Body bytes per second nginx sent since byte `since` of its access log, from the first
    request's start to the last one's end (None without requests)."""
    total, first, last = 0, None, None
    try:
        with open(log_path) as f:
            f.seek(since)
            for line in f:
                parts = line.split()
                if len(parts) < 7:
                    continue
                end, took = float(parts[-2]), float(parts[-1])
                total += int(parts[3])
                first = end - took if first is None else min(first, end - took)
                last = end if last is None else max(last, end)
    except (OSError, ValueError):
        return None
    return total / (last - first) if first is not None and last > first else None


def count_connections(log_path, since):
    """Connections and requests nginx saw since byte `since` of its access log."""
    connections, requests = set(), 0
    try:
        with open(log_path) as f:
            f.seek(since)
            for line in f:
                parts = line.split()
                if parts:
                    connections.add(parts[0])
                    requests += 1
    except OSError:
        pass
    return len(connections), requests


# ---------------------------------------------------------------------------------------------

def fmt_ratio(value):
    return "%.2f" % value if value is not None else "-"


def table(game, results, runs):
    lines = []
    form = "%-11s %-8s %4s %9s %8s %8s %9s %6s %7s %7s %7s %6s %8s %8s %6s %8s %8s"
    lines.append(form % (
        "condition", "case", "conn", "wall s", "cpu s", "rss MiB", "MiB/s", "ok", "xaria", "xaria",
        "xlink", "conns", "disk", "written", "xgame", "dirtied", "peak"))
    lines.append(form % (
        "", "", "", "(median)", "(median)", "(max)", "", "", "wall", "cpu", "limit", "/reqs",
        "MiB", "MiB", "", "MiB", "MiB"))
    for condition in CONDITIONS:
        rows = results.get(condition)
        if not rows:
            continue
        anchor = rows.get("aria2c-6")
        anchor_wall = statistics.median(r["wall"] for r in anchor) if anchor else None
        anchor_cpu = statistics.median(r["cpu"] for r in anchor) if anchor else None
        for name, tool, connections in CASES:
            samples = rows.get(name)
            if not samples:
                continue
            wall = statistics.median(r["wall"] for r in samples)
            cpu = statistics.median(r["cpu"] for r in samples)
            rss = max(r["rss_mib"] for r in samples)
            ok = sum(r["ok"] for r in samples)
            limit = game.total / (connections * RATE) if condition != "unthrottled" else None
            conns = samples[0].get("nginx", (0, 0))
            # Written to the disks during the run, by anyone: what the kernel flushes of the
            # program's files in that time, and what the program's own flushes force out.
            disk = statistics.median(r["disk_mib"] for r in samples)
            # Written by the program itself to storage (its write_bytes less what was dropped
            # before write-back), all it dirtied for storage, and the most its download folder
            # held on disk at once.
            written = statistics.median(r["written_mib"] for r in samples)
            dirtied = [r["dirtied_mib"] for r in samples if r.get("dirtied_mib") is not None]
            peak = max(r["peak_mib"] for r in samples)
            lines.append(("%-11s %-8s %4d %9.2f %8.2f %8.1f %9.1f %3d/%-2d %7s %7s %7s %6s %8.0f"
                          " %8.0f %6.2f %8s %8.0f") % (
                condition, name, connections, wall, cpu, rss, game.total / MIB / wall, ok,
                len(samples), fmt_ratio(wall / anchor_wall if anchor_wall else None),
                fmt_ratio(cpu / anchor_cpu if anchor_cpu else None),
                fmt_ratio(wall / limit if limit else None), "%d/%d" % conns, disk, written,
                written * MIB / game.total,
                "%.0f" % statistics.median(dirtied) if dirtied else "-", peak))
    return "\n".join(lines)


def main():
    global store_env, baseline, profile_to
    args = parse_args()
    baseline = os.path.abspath(args.baseline) if args.baseline else ""
    build = os.path.abspath(args.build)
    kind = args.game or ("quick" if args.quick else "full")
    runs = args.runs or (5 if kind == "quick" else 3)
    wanted = [c for c in CASES if (not args.cases or c[0] in args.cases.split(","))
              and (c[1] != "base" or baseline)]
    wanted += [c for c in LIMIT_CASES if args.cases and c[0] in args.cases.split(",")]
    conditions = [c for c in CONDITIONS if not args.conditions or c in args.conditions.split(",")]
    game = Game(build, kind, args.seed)
    game.prepare()
    run_root = os.path.join(build, "run")
    shutil.rmtree(run_root, ignore_errors=True)
    os.makedirs(run_root)
    os.chmod(run_root, 0o755)
    homes_root = run_root
    if args.homes_in:
        homes_root = tempfile.mkdtemp(prefix="velk-bench-", dir=args.homes_in)
        os.chmod(homes_root, 0o755)
    results_dir = os.path.join(build, "results")
    os.makedirs(results_dir, exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    name = "%s-%s%s" % (stamp, kind,
                        "-" + args.label if args.label else "")
    log = open(os.path.join(results_dir, name + ".log"), "w")
    nginx = Nginx(os.path.join(run_root, "nginx"), game.content)
    results = {}
    try:
        for condition in conditions:
            base = nginx.base(condition)
            store = Store(game.games_json, base)
            try:
                store_env = {"VELKDOWNLOADER_API_URL": store.urls["api"],
                             "VELKDOWNLOADER_SITE_URL": store.urls["site"],
                             "VELKDOWNLOADER_CA_FILE": store.urls["ca_file"]}
                rows = results.setdefault(condition, {})
                for run in range(runs):
                    order = wanted if run % 2 == 0 else list(reversed(wanted))
                    for case, tool, connections in order:
                        # One connection at 8 MiB/s takes minutes on the full game and its
                        # ratio to the link limit says little: one run is enough.
                        if (tool == "curl" and condition != "unthrottled" and kind != "quick"
                                and run > 0):
                            continue
                        if args.perf:
                            profile_to = os.path.join(results_dir, "perf-%%s-%s-%d.data" % (
                                condition.replace("/", ""), run + 1))
                        since = os.path.getsize(nginx.access_log()) if os.path.exists(
                            nginx.access_log()) else 0
                        result = run_case(case, tool, connections, game, build, base,
                                          homes_root, log)
                        result["nginx"] = count_connections(nginx.access_log(), since)
                        result["served_rate"] = served_rate(nginx.access_log(), since)
                        rows.setdefault(case, []).append(result)
                        note("%-11s %-8s run %d: %6.2f s wall, %6.2f s cpu, %6.1f MiB rss, "
                             "%6.0f MiB to disk, %6.0f MiB written by it (%.0f sampled), "
                             "%6.0f MiB peak%s" % (
                                 condition, case, run + 1, result["wall"], result["cpu"],
                                 result["rss_mib"], result["disk_mib"], result["written_mib"],
                                 result["written_sampled_mib"], result["peak_mib"],
                                 "" if result["ok"] else " FAILED: " + result["why"]))
            finally:
                store.stop()
    finally:
        nginx.stop()
        log.close()
        if homes_root != run_root:
            shutil.rmtree(homes_root, ignore_errors=True)
    text = "game: %d files, %.1f MiB, %d MiB chunks; %d runs; %s\n%s\n" % (
        len(game.files), game.total / MIB, CHUNK // MIB, runs,
        datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), table(game, results, runs))
    limited = [(name, connections) for name, _, connections in LIMIT_CASES
               if any(name in rows for rows in results.values())]
    if limited:
        text += ("\nunder a speed limit: what nginx served per second, from the first request's "
                 "start to the last one's end (median)\n%-11s %-16s %5s %9s %10s %8s %6s\n" % (
                     "condition", "case", "conn", "limit", "served", "/limit", "ok"))
        for condition, rows in results.items():
            for name, connections in limited:
                samples = rows.get(name)
                rates = [r["served_rate"] for r in samples or [] if r.get("served_rate")]
                if not rates:
                    continue
                limit = case_limit(name) * MIB
                served = statistics.median(rates)
                text += "%-11s %-16s %5d %5d MiB/s %6.2f MiB/s %8.3f %3d/%d\n" % (
                    condition, name, connections, limit // MIB, served / MIB, served / limit,
                    sum(r["ok"] for r in samples), len(samples))
    print(text)
    with open(os.path.join(results_dir, name + ".txt"), "w") as f:
        f.write(text)
    with open(os.path.join(results_dir, name + ".json"), "w") as f:
        json.dump(results, f, indent=1)
    failed = sum(not r["ok"] for rows in results.values() for s in rows.values() for r in s)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
