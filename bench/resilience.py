#!/usr/bin/python3
"""Resilience figures of velkdownloader-cli (see bench/README.md):

1. resume: the bench game downloaded fresh, and again with every other chunk already verified on
   disk, interleaved run by run, from the local nginx; wall times and resumed/fresh;
2. Retry-After: a small game on the test store whose one-chunk file is answered 503 with
   Retry-After: 2 twice; how long the program waited after each before asking for it again;
3. drops: a small game on the test store whose CDN cuts each chunk body with a fixed probability;
   file-link requests to the API per chunk, and how many chunk requests were cut;
4. kill-restart: the bench game from the local nginx, the program killed (SIGKILL) when its
   folder holds half the game's size on disk, then started again on the same home and folder;
   what nginx served over both runs / the game's size, and how long the restart took to ask
   for file data, in all and per GiB already on disk.

With --baseline PROGRAM every figure is also taken of another build, in the same run."""

import argparse
import datetime
import json
import os
import shutil
import signal
import ssl
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402  (the game, nginx, the store and fresh homes are shared with it)

MIB = bench.MIB
LIMIT_S = 180  # a run on a small game that takes longer than this counts as failed
FILE_LINK = "/en/downloader/fileLink/"  # teststore/endpoints.py

# The small games of figures 2 and 3, served by the store itself. Chunks of 1 MiB so that a
# few MiB make enough chunks; seeds give every file content of its own.
RETRY_GAME = "retry-game"
RETRY_FILES = [("retry/main.bin", 4 * MIB), ("retry/one-chunk.bin", MIB)]
RETRY_AFTER_S = 2
RETRY_FAULTED = 2
DROP_GAME = "drop-game"
DROP_FILES = [("drop/a.bin", 16 * MIB), ("drop/b.bin", 8 * MIB)]
SMALL_CHUNK = MIB
FIGURES = ("resume", "retry-after", "drops", "kill-restart")
GIB = 1 << 30


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=os.path.join(bench.REPO, "build-bench"))
    parser.add_argument("--quick", action="store_true",
                        help="the resume figure on the game of about 100 MiB")
    parser.add_argument("--runs", type=int, default=3, help="runs of every case (default 3)")
    parser.add_argument("--figures", default=",".join(FIGURES),
                        help="comma-separated: %s (default all)" % ", ".join(FIGURES))
    parser.add_argument("--conditions", default="",
                        help="resume figure: comma-separated unthrottled, 8MiB/s (default both)")
    parser.add_argument("--connections", type=int, default=6)
    parser.add_argument("--seed", default="velk-bench-1")
    parser.add_argument("--drop-probability", type=float, default=0.2)
    parser.add_argument("--drop-seed", type=int, default=7)
    parser.add_argument("--label", default="", help="a word for the results file's name")
    parser.add_argument("--baseline", default="",
                        help="another velkdownloader-cli, measured alike as 'base'")
    parser.add_argument("--homes-in", default="",
                        help="a folder for the runs' fresh homes and downloads (default: the "
                             "build folder's run-resilience/)")
    return parser.parse_args()


note = bench.note


# ---------------------------------------------------------------------------------------------
# Running the program.

class Runner:
    """Runs one build of the program in fresh homes under `root`."""

    def __init__(self, name, program, connections, root, log):
        self.name = name
        self.program = program
        self.connections = connections
        self.root = root
        self.log = log

    def fresh_home(self):
        home, env = bench.make_home(self.root)
        downloads = os.path.join(home, "downloads")
        os.makedirs(downloads)
        return home, env, downloads

    def launch(self, env, downloads, game, store_urls, out):
        """Starts a download of `game` into `downloads`, its output to `out`: the process.
        `started_at` is then the wall-clock time of its start (the clock of nginx's log)."""
        full_env = dict(os.environ, **env)
        full_env.update({"VELKDOWNLOADER_API_URL": store_urls["api"],
                         "VELKDOWNLOADER_SITE_URL": store_urls["site"],
                         "VELKDOWNLOADER_CA_FILE": store_urls["ca_file"]})
        args = [self.program, "--connections", str(self.connections), "--folder", downloads,
                "velkdownloader://" + game]
        self.started_at = time.time()
        return subprocess.Popen(args, env=full_env, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT)

    def run(self, home, env, downloads, game, store_urls, limit):
        """Downloads `game` into `downloads`: (wall seconds, exit status, output)."""
        output_path = os.path.join(home, "output.txt")
        # What is still to be written back must not fall into the timed run (the chunk files
        # laid out for a resume, the files of the run before).
        os.sync()
        with open(output_path, "ab") as out:
            start = time.monotonic()
            process = self.launch(env, downloads, game, store_urls, out)
            try:
                status = process.wait(limit)
            except subprocess.TimeoutExpired:
                process.kill()
                status = process.wait()
                status = "killed after %d s" % limit
            wall = time.monotonic() - start
        with open(output_path, "rb") as f:
            output = f.read()[-2000:].decode("utf-8", "replace")
        return wall, status, output

    def failed(self, what, why, output):
        self.log.write("%s, %s failed: %s\n%s\n" % (self.name, what, why, output))
        self.log.flush()


# ---------------------------------------------------------------------------------------------
# The test store's control listener and request log.

def control(urls, method, path, body=None):
    data = body.encode("utf-8") if isinstance(body, str) else body
    request = urllib.request.Request(urls["control"] + path, method=method, data=data)
    with urllib.request.urlopen(request, timeout=30) as reply:
        return reply.read().decode("utf-8")


def request_log(urls):
    """The store's request log: dicts of server, method, path, range, status, bytes, time."""
    entries = []
    for line in control(urls, "GET", "/requests").splitlines():
        f = line.split("\t")
        if len(f) < 10:
            raise RuntimeError("the test store's request log has no time field; is it older "
                               "than this script?")
        entries.append({"server": f[0], "method": f[1], "path": urllib.parse.unquote(f[2]),
                        "range": urllib.parse.unquote(f[4]), "status": int(f[5]),
                        "bytes": int(f[6]), "time": float(f[9])})
    return entries


def range_length(header, size):
    """Bytes a request asked for: a simple 'bytes=a-b' or 'bytes=a-' range, else the whole."""
    if header.startswith("bytes="):
        first, _, last = header[6:].partition("-")
        if first.isdigit() and (last.isdigit() or not last):
            end = min(int(last), size - 1) if last else size - 1
            return max(0, end - int(first) + 1)
    return size


def small_games_json(folder):
    """A games.json with the small games of figures 2 and 3."""
    def files(game, entries):
        return [{"id": i, "path": path, "size": size, "seed": "%s/%d" % (game, i),
                 "chunk_size": SMALL_CHUNK, "timestamp": "1714557800"}
                for i, (path, size) in enumerate(entries)]

    games = {"games": [
        {"name": RETRY_GAME, "title": "Retry Game", "files": files(RETRY_GAME, RETRY_FILES)},
        {"name": DROP_GAME, "title": "Drop Game", "files": files(DROP_GAME, DROP_FILES)}]}
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "games.json")
    with open(path, "w") as f:
        json.dump(games, f)
    return path


def check_small_game(downloads, entries):
    """Whether the folder holds exactly the game's files at their sizes (the program checks
    every chunk's digest and the file's, so a wrong byte would not have been kept)."""
    expected = {path: size for path, size in entries}
    found = {}
    for folder, _, names in os.walk(downloads):
        for name in names:
            full = os.path.join(folder, name)
            found[os.path.relpath(full, downloads)] = os.path.getsize(full)
    if found != expected:
        return False, "folder holds %s" % sorted(found.items())[:6]
    return True, ""


# ---------------------------------------------------------------------------------------------
# Figure 1: resume.

def game_chunks(game, path):
    """(id, from, to) of every chunk of one of the game's files, from its exported index."""
    index = ET.parse(os.path.join(game.content, "secure", bench.GAME, path + ".crc")).getroot()
    return [(int(c.get("id")), int(c.get("from")), int(c.get("to")))
            for c in index.findall("chunk")]


def lay_out_every_other_chunk(game, downloads):
    """The verified chunk files an interrupted run would have left for the even chunks of every
    file: `<folder>/<name>.chunk<N>` holding exactly bytes from..to (engine/ChunkFiles.h; the
    CLI's record folder is --folder itself). Returns the bytes laid out."""
    laid_out = 0
    for path, *_ in game.files:
        source = os.path.join(game.content, "secure", bench.GAME, path)
        target = os.path.join(downloads, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(source, "rb") as src:
            for chunk_id, first, last in game_chunks(game, path):
                if chunk_id % 2:
                    continue
                with open("%s.chunk%d" % (target, chunk_id), "wb") as dst:
                    left, offset = last - first + 1, first
                    while left:
                        n = os.copy_file_range(src.fileno(), dst.fileno(), left, offset)
                        if n <= 0:
                            raise RuntimeError("short copy of %s" % source)
                        left -= n
                        offset += n
                laid_out += last - first + 1
    return laid_out


def nginx_bytes(log_path, since):
    """Requests and body bytes nginx served since byte `since` of its access log."""
    requests, sent = 0, 0
    with open(log_path) as f:
        f.seek(since)
        for line in f:
            parts = line.split()
            if len(parts) >= 4:
                requests += 1
                sent += int(parts[3])
    return requests, sent


def warm_chunk_indexes(game, urls):
    """Has the store make the game's chunk digests now: it makes them on the first request,
    which would otherwise fall into the first timed run."""
    context = ssl.create_default_context(cafile=urls["ca_file"])
    for path, *_ in game.files:
        url = "%s/secure/%s/%s.crc" % (urls["cdn"], bench.GAME, path)
        with urllib.request.urlopen(url, context=context, timeout=300) as reply:
            reply.read()


def figure_resume(args, runners, build, homes_root):
    game = bench.Game(build, "quick" if args.quick else "full", args.seed)
    game.prepare()
    conditions = [c for c in bench.CONDITIONS
                  if not args.conditions or c in args.conditions.split(",")]
    nginx = bench.Nginx(os.path.join(build, "run-resilience", "nginx"), game.content)
    results = {"game_mib": game.total / MIB, "conditions": {}}
    try:
        for condition in conditions:
            store = bench.Store(game.games_json, nginx.base(condition))
            try:
                warm_chunk_indexes(game, store.urls)
                rows = results["conditions"].setdefault(condition, {})
                cases = [(r, kind) for r in runners for kind in ("fresh", "resumed")]
                for run in range(args.runs):
                    for runner, kind in cases if run % 2 == 0 else list(reversed(cases)):
                        home, env, downloads = runner.fresh_home()
                        laid_out = 0
                        if kind == "resumed":
                            laid_out = lay_out_every_other_chunk(game, downloads)
                        since = os.path.getsize(nginx.access_log()) if os.path.exists(
                            nginx.access_log()) else 0
                        wall, status, output = runner.run(home, env, downloads, bench.GAME,
                                                          store.urls, bench.LIMIT_S)
                        requests, fetched = nginx_bytes(nginx.access_log(), since)
                        ok, why = (False, "exit %s" % status) if status != 0 else \
                            bench.check_result(game, downloads)
                        if not ok:
                            runner.failed("resume %s %s" % (condition, kind), why, output)
                        shutil.rmtree(home, ignore_errors=True)
                        sample = {"wall": wall, "ok": ok, "why": why, "laid_out_mib":
                                  laid_out / MIB, "fetched_mib": fetched / MIB,
                                  "requests": requests}
                        rows.setdefault(runner.name, {}).setdefault(kind, []).append(sample)
                        note("resume %-11s %-4s %-7s run %d: %6.2f s, %6.1f MiB laid out, "
                             "%6.1f MiB fetched in %d requests%s" % (
                                 condition, runner.name, kind, run + 1, wall, laid_out / MIB,
                                 fetched / MIB, requests, "" if ok else " FAILED: " + why))
            finally:
                store.stop()
    finally:
        nginx.stop()
    return results


# ---------------------------------------------------------------------------------------------
# Figure 4: kill and restart.

def nginx_requests(log_path, since):
    """(start, body bytes) of every request nginx logged since byte `since` of its access log.
    nginx logs a request when it ends, stamped with the wall clock ($msec); its start is that
    less $request_time (both to the millisecond)."""
    found = []
    with open(log_path) as f:
        f.seek(since)
        for line in f:
            parts = line.split()
            if len(parts) >= 7:
                found.append((float(parts[-2]) - float(parts[-1]), int(parts[3])))
    return found


def kill_at_half(runner, env, downloads, game, urls, out):
    """Runs the program until its folder holds half the game's size on disk, then kills it
    (SIGKILL: nothing of it runs after that): (seconds it ran, whether the kill came before
    the program ended on its own)."""
    half = game.total // 2
    start = time.monotonic()
    process = runner.launch(env, downloads, bench.GAME, urls, out)
    killed = False
    while process.poll() is None:
        if bench.folder_bytes_on_disk(downloads) >= half:
            process.send_signal(signal.SIGKILL)
            killed = True
            break
        if time.monotonic() - start > bench.LIMIT_S:
            process.kill()
            break
        time.sleep(0.01)
    process.wait()
    return time.monotonic() - start, killed


def figure_kill_restart(args, runners, build):
    game = bench.Game(build, "quick" if args.quick else "full", args.seed)
    game.prepare()
    nginx = bench.Nginx(os.path.join(build, "run-resilience", "nginx-kill"), game.content)
    results = {"game_mib": game.total / MIB, "runs": {}}
    try:
        store = bench.Store(game.games_json, nginx.base("unthrottled"))
        try:
            warm_chunk_indexes(game, store.urls)
            for run in range(args.runs):
                for runner in runners if run % 2 == 0 else list(reversed(runners)):
                    home, env, downloads = runner.fresh_home()
                    since = os.path.getsize(nginx.access_log()) if os.path.exists(
                        nginx.access_log()) else 0
                    os.sync()
                    with open(os.path.join(home, "output.txt"), "wb") as out:
                        ran, killed = kill_at_half(runner, env, downloads, game, store.urls,
                                                   out)
                    on_disk = bench.folder_bytes_on_disk(downloads)
                    wall, status, output = runner.run(home, env, downloads, bench.GAME,
                                                      store.urls, bench.LIMIT_S)
                    restart = runner.started_at
                    requests = nginx_requests(nginx.access_log(), since)
                    before = sum(n for at, n in requests if at < restart)
                    after = [(at, n) for at, n in requests if at >= restart]
                    first_data = min(at for at, _ in after) - restart if after else None
                    if not killed:
                        ok, why = False, "not killed at half: the first run ended by itself"
                    elif status != 0:
                        ok, why = False, "restart: exit %s" % status
                    else:
                        ok, why = bench.check_result(game, downloads)
                    if not ok:
                        runner.failed("kill-restart", why, output)
                    shutil.rmtree(home, ignore_errors=True)
                    served = before + sum(n for _, n in after)
                    sample = {
                        "ok": ok, "why": why, "killed_after": ran, "on_disk_mib": on_disk / MIB,
                        "served_first_mib": before / MIB,
                        "served_restart_mib": (served - before) / MIB,
                        "served_ratio": served / game.total, "restart_wall": wall,
                        "first_data": first_data,
                        "first_data_per_gib": first_data / (on_disk / GIB)
                        if first_data is not None and on_disk else None}
                    results["runs"].setdefault(runner.name, []).append(sample)
                    note("kill-restart %-4s run %d: killed after %.2f s with %.1f MiB on disk; "
                         "served %.1f + %.1f MiB (x%.2f); first data request %s s after the "
                         "restart; restart took %.2f s%s" % (
                             runner.name, run + 1, ran, on_disk / MIB, before / MIB,
                             (served - before) / MIB, served / game.total, fmt(first_data, "%.3f"),
                             wall, "" if ok else " FAILED: " + why))
        finally:
            store.stop()
    finally:
        nginx.stop()
    return results


# ---------------------------------------------------------------------------------------------
# Figure 2: Retry-After.

def figure_retry_after(runner, urls):
    path = "/secure/%s/%s" % (RETRY_GAME, RETRY_FILES[1][0])
    control(urls, "DELETE", "/faults")
    control(urls, "DELETE", "/requests")
    control(urls, "POST", "/fault", json.dumps({
        "server": "cdn", "method": "GET", "path": path, "status": 503,
        "retry_after": RETRY_AFTER_S, "fail_next": RETRY_FAULTED}))
    home, env, downloads = runner.fresh_home()
    wall, status, output = runner.run(home, env, downloads, RETRY_GAME, urls, LIMIT_S)
    ok, why = (False, "exit %s" % status) if status != 0 else check_small_game(
        downloads, RETRY_FILES)
    if not ok:
        runner.failed("retry-after", why, output)
    shutil.rmtree(home, ignore_errors=True)
    log = [e for e in request_log(urls) if e["server"] == "cdn" and e["path"] == path
           and e["method"] == "GET"]
    gaps = []
    for i, entry in enumerate(log):
        if entry["status"] != 503:
            continue
        later = [e for e in log[i + 1:] if e["range"] == entry["range"]]
        gaps.append(later[0]["time"] - entry["time"] if later else None)
    control(urls, "DELETE", "/faults")
    return {"wall": wall, "ok": ok, "why": why, "faulted": sum(e["status"] == 503 for e in log),
            "requests": len(log), "gaps": gaps}


# ---------------------------------------------------------------------------------------------
# Figure 3: link requests under drops.

def figure_drops(runner, urls, probability, seed):
    paths = {"/secure/%s/%s" % (DROP_GAME, p): size for p, size in DROP_FILES}
    control(urls, "DELETE", "/faults")
    control(urls, "DELETE", "/requests")
    # One fault a file, on the file's own path, so that the chunk indexes (the same path and
    # ".crc") are never cut; each with a seed of its own, the same in every run.
    for i, path in enumerate(sorted(paths)):
        control(urls, "POST", "/fault", json.dumps({
            "server": "cdn", "method": "GET", "path": path, "fail_next": -1,
            "drop_probability": probability, "seed": seed + i}))
    home, env, downloads = runner.fresh_home()
    wall, status, output = runner.run(home, env, downloads, DROP_GAME, urls, LIMIT_S)
    ok, why = (False, "exit %s" % status) if status != 0 else check_small_game(
        downloads, DROP_FILES)
    if not ok:
        runner.failed("drops", why, output)
    shutil.rmtree(home, ignore_errors=True)
    log = request_log(urls)
    control(urls, "DELETE", "/faults")
    prefix = FILE_LINK + DROP_GAME + "/"
    links = [e for e in log if e["server"] == "api" and e["path"].startswith(prefix)]
    file_links = sum(not e["path"].endswith("/crc") for e in links)
    chunk_requests = [e for e in log if e["server"] == "cdn" and e["method"] == "GET"
                      and e["path"] in paths]
    cut = sum(e["status"] in (200, 206) and e["bytes"] < range_length(e["range"], paths[e["path"]])
              or e["status"] == 0 for e in chunk_requests)
    chunks = sum((size + SMALL_CHUNK - 1) // SMALL_CHUNK for size in paths.values())
    return {"wall": wall, "ok": ok, "why": why, "chunks": chunks, "file_links": file_links,
            "index_links": len(links) - file_links, "links_per_chunk": file_links / chunks,
            "chunk_requests": len(chunk_requests), "cut": cut}


# ---------------------------------------------------------------------------------------------

def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value, form="%.2f"):
    return form % value if value is not None else "-"


def report(results, args):
    lines = []
    resume = results.get("resume")
    if resume:
        lines.append("1. resume: %.1f MiB game, every other chunk of every file verified on disk "
                     "before the resumed run; goal resumed/fresh <= 0.55" % resume["game_mib"])
        lines.append("%-11s %-5s %9s %9s %8s %6s %11s %11s" % (
            "condition", "build", "fresh s", "resumed s", "ratio", "ok", "laid out", "fetched"))
        lines.append("%-11s %-5s %9s %9s %8s %6s %11s %11s" % (
            "", "", "(median)", "(median)", "", "", "MiB", "MiB (res.)"))
        for condition, rows in resume["conditions"].items():
            for name, kinds in rows.items():
                fresh = median(s["wall"] for s in kinds.get("fresh", []))
                resumed = median(s["wall"] for s in kinds.get("resumed", []))
                samples = kinds.get("fresh", []) + kinds.get("resumed", [])
                ok = sum(s["ok"] for s in samples)
                laid = median(s["laid_out_mib"] for s in kinds.get("resumed", []))
                fetched = median(s["fetched_mib"] for s in kinds.get("resumed", []))
                lines.append("%-11s %-5s %9s %9s %8s %3d/%-2d %11s %11s" % (
                    condition, name, fmt(fresh), fmt(resumed),
                    fmt(resumed / fresh if fresh and resumed else None), ok, len(samples),
                    fmt(laid, "%.1f"), fmt(fetched, "%.1f")))
        lines.append("")
    retry = results.get("retry_after")
    if retry:
        lines.append("2. Retry-After: %s answered 503 with Retry-After: %d, %d times; gap = "
                     "from a 503 to the next request of the same range; goal >= %d s" % (
                         RETRY_FILES[1][0], RETRY_AFTER_S, RETRY_FAULTED, RETRY_AFTER_S))
        lines.append("%-5s %4s %-24s %9s %6s %6s" % ("build", "run", "gaps s", "wall s", "503s",
                                                     "ok"))
        for name, samples in retry.items():
            for i, s in enumerate(samples):
                gaps = ", ".join(fmt(g) for g in s["gaps"]) or "-"
                lines.append("%-5s %4d %-24s %9.2f %6d %6s" % (name, i + 1, gaps, s["wall"],
                                                                s["faulted"], "yes" if s["ok"]
                                                                else "NO"))
        lines.append("")
    drops = results.get("drops")
    if drops:
        lines.append("3. drops: cdn cuts each chunk body with probability %.2f (seed %d); link "
                     "requests = the API's file links (not the chunk indexes')" % (
                         args.drop_probability, args.drop_seed))
        lines.append("%-5s %4s %7s %7s %9s %9s %7s %9s %6s" % (
            "build", "run", "chunks", "links", "links/ch", "idx links", "chunk", "cut", "ok"))
        lines.append("%-5s %4s %7s %7s %9s %9s %7s %9s %6s" % ("", "", "", "", "", "", "reqs",
                                                               "", ""))
        for name, samples in drops.items():
            for i, s in enumerate(samples):
                lines.append("%-5s %4d %7d %7d %9.2f %9d %7d %9d %6s" % (
                    name, i + 1, s["chunks"], s["file_links"], s["links_per_chunk"],
                    s["index_links"], s["chunk_requests"], s["cut"], "yes" if s["ok"] else "NO"))
        lines.append("")
    kill = results.get("kill_restart")
    if kill:
        lines.append("4. kill-restart: %.1f MiB game, unthrottled; SIGKILL when the folder holds "
                     "half of it on disk, then the same command on the same home and folder; "
                     "served = nginx's body bytes over both runs / the game's size; first data = "
                     "from the restart's start to its first request for file data" % (
                         kill["game_mib"]))
        form = "%-5s %4s %8s %8s %9s %9s %7s %8s %9s %9s %6s"
        lines.append(form % ("build", "run", "killed", "on disk", "served 1", "served 2",
                             "served", "first", "first", "restart", "ok"))
        lines.append(form % ("", "", "after s", "MiB", "MiB", "MiB", "/game", "data s",
                             "s/GiB", "wall s", ""))
        for name, samples in kill["runs"].items():
            for i, s in enumerate(samples + [None]):
                if s is None:  # the medians of the runs
                    if len(samples) < 2:
                        break
                    s = {key: median(x[key] for x in samples) for key in samples[0]
                         if key not in ("ok", "why")}
                    s["ok"] = all(x["ok"] for x in samples)
                lines.append(form % (
                    name, "med" if i == len(samples) else i + 1, fmt(s["killed_after"]),
                    fmt(s["on_disk_mib"], "%.1f"), fmt(s["served_first_mib"], "%.1f"),
                    fmt(s["served_restart_mib"], "%.1f"), fmt(s["served_ratio"]),
                    fmt(s["first_data"], "%.3f"), fmt(s["first_data_per_gib"], "%.3f"),
                    fmt(s["restart_wall"]), "yes" if s["ok"] else "NO"))
    return "\n".join(lines)


def main():
    args = parse_args()
    build = os.path.abspath(args.build)
    figures = set(args.figures.split(","))
    unknown = figures - set(FIGURES)
    if unknown:
        note("unknown figure(s): %s" % ", ".join(sorted(unknown)))
        return 2
    run_root = os.path.join(build, "run-resilience")
    shutil.rmtree(run_root, ignore_errors=True)
    os.makedirs(run_root)
    os.chmod(run_root, 0o755)
    homes_root = run_root
    if args.homes_in:
        homes_root = tempfile.mkdtemp(prefix="velk-resilience-", dir=args.homes_in)
        os.chmod(homes_root, 0o755)
    results_dir = os.path.join(build, "results")
    os.makedirs(results_dir, exist_ok=True)
    name = "%s-resilience-%s%s" % (datetime.datetime.now().strftime("%Y%m%d-%H%M%S"),
                                   "quick" if args.quick else "full",
                                   "-" + args.label if args.label else "")
    log = open(os.path.join(results_dir, name + ".log"), "w")
    runners = [Runner("ours", os.path.join(build, "cli", "velkdownloader-cli"), args.connections,
                      homes_root, log)]
    if args.baseline:
        runners.append(Runner("base", os.path.abspath(args.baseline), args.connections,
                              homes_root, log))
    results = {}
    try:
        if "resume" in figures:
            results["resume"] = figure_resume(args, runners, build, homes_root)
        if "kill-restart" in figures:
            results["kill_restart"] = figure_kill_restart(args, runners, build)
        if figures & {"retry-after", "drops"}:
            store = bench.Store(small_games_json(os.path.join(build, "data", "resilience")))
            try:
                for run in range(args.runs):
                    for runner in runners if run % 2 == 0 else list(reversed(runners)):
                        if "retry-after" in figures:
                            s = figure_retry_after(runner, store.urls)
                            results.setdefault("retry_after", {}).setdefault(
                                runner.name, []).append(s)
                            note("retry-after %-4s run %d: gaps %s s, %.2f s wall%s" % (
                                runner.name, run + 1, ", ".join(fmt(g) for g in s["gaps"]),
                                s["wall"], "" if s["ok"] else " FAILED: " + s["why"]))
                        if "drops" in figures:
                            s = figure_drops(runner, store.urls, args.drop_probability,
                                             args.drop_seed)
                            results.setdefault("drops", {}).setdefault(
                                runner.name, []).append(s)
                            note("drops %-4s run %d: %d file links for %d chunks, %d of %d chunk "
                                 "requests cut, %.2f s wall%s" % (
                                     runner.name, run + 1, s["file_links"], s["chunks"], s["cut"],
                                     s["chunk_requests"], s["wall"],
                                     "" if s["ok"] else " FAILED: " + s["why"]))
            finally:
                store.stop()
    finally:
        log.close()
        if homes_root != run_root:
            shutil.rmtree(homes_root, ignore_errors=True)
    text = "resilience, %d runs, %d connections; %s\n\n%s\n" % (
        args.runs, args.connections, datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        report(results, args))
    print(text)
    with open(os.path.join(results_dir, name + ".txt"), "w") as f:
        f.write(text)
    with open(os.path.join(results_dir, name + ".json"), "w") as f:
        json.dump(results, f, indent=1)
    samples = [s for kinds in results.get("resume", {}).get("conditions", {}).values()
               for per_kind in kinds.values() for runs in per_kind.values() for s in runs]
    samples += [s for key in ("retry_after", "drops") for runs in results.get(key, {}).values()
                for s in runs]
    samples += [s for runs in results.get("kill_restart", {}).get("runs", {}).values()
                for s in runs]
    return 1 if any(not s["ok"] for s in samples) else 0


if __name__ == "__main__":
    sys.exit(main())
