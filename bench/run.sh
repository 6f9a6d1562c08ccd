#!/usr/bin/env bash
# The download benchmark: our headless front end against aria2c and curl on the same synthetic
# game, served by a local nginx, with the local test store answering the API. One command:
#   bench/run.sh [--quick | --game big] [--runs N] [--cases LIST] [--no-micro] [--micro-only]
#   bench/run.sh --resilience [--quick] [--runs N] [--figures LIST] [--baseline PROGRAM]
# It installs what it needs (Debian packages), builds a Release velkdownloader-cli and the
# micro-benchmarks in build-bench/, makes the game's files from a seed (kept in
# build-bench/data/ for the next run), runs every case interleaved and prints the table.
# Results are also written to build-bench/results/. With --resilience it measures resuming, waiting
# for Retry-After, link requests under dropped connections and a kill and restart instead
# (bench/resilience.py).
set -euo pipefail
cd "$(dirname "$0")/.."

micro=1
script=bench/bench.py
bench_args=()
for arg in "$@"; do
    case "$arg" in
        --no-micro) micro=0 ;;
        --micro-only) micro=2 ;;
        --resilience) script=bench/resilience.py; micro=0 ;;
        *) bench_args+=("$arg") ;;
    esac
done

mapfile -t packages < <(grep -v '^#' scripts/packages.txt)
packages+=(nginx aria2 curl time libbenchmark-dev)
# perf is a help for profiling, not needed by the benchmark: installed only where it exists.
if apt-cache show linux-perf >/dev/null 2>&1; then packages+=(linux-perf); fi
scripts/ensure-packages.sh "${packages[@]}"

build_dir=build-bench
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DVELK_WERROR=ON -DVELK_SANITIZE="" -DBUILD_TESTING=OFF -DVELK_BENCH=ON >/dev/null
targets=(velkdownloader-cli)
((micro > 0)) && targets+=(velk_micro)
cmake --build "$build_dir" --target "${targets[@]}" -- -j2
# The measuring wrapper the download benchmark runs every program under (bench/usage.c).
cc -O2 -Wall -Wextra -Werror -o "$build_dir/usage" bench/usage.c

if ((micro > 0)); then
    echo "== micro-benchmarks"
    "$build_dir/bench/velk_micro" --benchmark_min_time=0.2 \
        --benchmark_out="$build_dir/micro.json" --benchmark_out_format=json
fi
((micro == 2)) && exit 0

exec /usr/bin/python3 "$script" --build "$build_dir" "${bench_args[@]}"
