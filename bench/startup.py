#!/usr/bin/python3
"""Start-up latency of velkdownloader-cli (see bench/README.md): the time from the program's start
to the first request for file data that the test store sees, and from the game-details request to
that first data request, on a game of three files (76, 19 and 5 MiB, 10 MiB chunks) served by the
test store itself, with 6 connections. The store's request log and this script read the same
monotonic clock. Several programs (NAME=PATH) run interleaved, the order reversing every other
run; the figures are medians."""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

import bench

MIB = 1 << 20
GAME = {"name": bench.GAME, "files": [
    {"id": i, "path": path, "size": size, "chunk_size": 10 * MIB}
    for i, (path, size) in enumerate(
        [("a/one.bin", 76 * MIB), ("two.bin", 19 * MIB), ("b/three.bin", 5 * MIB)])]}


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("programs", nargs="+", metavar="NAME=PATH")
    return parser.parse_args()


def control(store, method, path):
    request = urllib.request.Request(store.urls["control"] + path, method=method)
    return urllib.request.urlopen(request).read().decode()


def one_run(store, program, root):
    """(start to first data request, details request to first data request), in seconds."""
    control(store, "DELETE", "/requests")
    home, env = bench.make_home(root)
    downloads = os.path.join(home, "downloads")
    os.makedirs(downloads)
    env = dict(os.environ, **env, VELKDOWNLOADER_API_URL=store.urls["api"],
               VELKDOWNLOADER_SITE_URL=store.urls["site"],
               VELKDOWNLOADER_CA_FILE=store.urls["ca_file"])
    start = time.monotonic()
    done = subprocess.run([program, "--connections", "6", "--folder", downloads,
                           "velkdownloader://" + bench.GAME], env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if done.returncode != 0:
        raise RuntimeError("%s exited with %d" % (program, done.returncode))
    details = first = None
    for line in control(store, "GET", "/requests").splitlines():
        fields = line.split("\t")
        path = urllib.parse.unquote(fields[2])
        at = float(fields[9]) - start
        if details is None and "/gameDetails/" in path:
            details = at
        if first is None and fields[0] == "cdn" and "/secure/" in path and not path.endswith(
                ".crc"):
            first = at
    return first, first - details


def main():
    args = parse_args()
    programs = [tuple(item.split("=", 1)) for item in args.programs]
    root = tempfile.mkdtemp(prefix="velk-startup-")
    games = os.path.join(root, "games.json")
    with open(games, "w") as f:
        json.dump({"account": {"email": "bench@velkora.test", "password": "bench",
                               "user_name": "Bench"}, "games": [GAME]}, f)
    store = bench.Store(games)
    try:
        one_run(store, programs[0][1], root)  # the store makes the chunk digests once
        results = {name: [] for name, _ in programs}
        for run in range(args.runs):
            for name, program in (programs if run % 2 == 0 else programs[::-1]):
                results[name].append(one_run(store, program, root))
    finally:
        store.stop()
    for name, rows in results.items():
        print("%-8s start to first data %6.1f ms   details to first data %6.1f ms   (%s)" % (
            name, 1000 * statistics.median(r[0] for r in rows),
            1000 * statistics.median(r[1] for r in rows),
            " ".join("%.0f" % (1000 * r[0]) for r in rows)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
