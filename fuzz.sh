#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer (build-fuzz/) and runs each for a bounded time. A test command of its
# own, separate from ./test.sh.
#   ./fuzz.sh [seconds-per-target] [target...]
# Targets: chunk_index record query_string xml_reply handoff response_headers log_redaction (all
# by default, 60 s each). Each corpus starts from the seeds fuzz/seeds.py writes and grows in
# build-fuzz/corpus/<target>/ from run to run. A crash, a sanitizer report or a failed property
# leaves its input in build-fuzz/artifacts/, prints the report, and makes the command exit with 1
# once every target has run.
set -euo pipefail
cd "$(dirname "$0")"

seconds="${1:-60}"
shift || true
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || ((seconds < 1 || seconds > 3600)); then
    echo "usage: $0 [seconds-per-target (1-3600)] [target...]" >&2
    exit 2
fi
all=(chunk_index record query_string xml_reply handoff response_headers log_redaction)
targets=("$@")
((${#targets[@]} > 0)) || targets=("${all[@]}")
for target in "${targets[@]}"; do
    if [[ " ${all[*]} " != *" $target "* ]]; then
        echo "unknown target '$target'; targets: ${all[*]}" >&2
        exit 2
    fi
done

# Most inputs are far smaller; these bounds leave room for the limits in the code to be hit and
# for faults that only size brings out: an XML document of a few MiB (markup that hides deep
# nesting from the pre-scan needs about 1 MiB to exhaust the stack), several stored strings at
# their 64 KiB limit, a hand-off block past its 10240 bytes.
declare -A max_len=([chunk_index]=2097152 [record]=262144 [query_string]=4096
    [xml_reply]=2097152 [handoff]=12288 [response_headers]=4096 [log_redaction]=4096)

mapfile -t packages < <(grep -v '^#' scripts/packages.txt)
scripts/ensure-packages.sh "${packages[@]}" clang libclang-rt-14-dev llvm-14

build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_WERROR=ON -DVELK_SANITIZE=fuzzer -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --parallel 2 --target "${targets[@]/#/fuzz_}"
python3 fuzz/seeds.py "$build/corpus"
mkdir -p "$build/artifacts"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# The targets' private homes go into a folder of this run, removed at the end: in memory where
# there is /dev/shm, since the settings store flushes at every write.
tmp_parent=/dev/shm
[[ -d $tmp_parent && -w $tmp_parent ]] || tmp_parent="$PWD/$build"
TMPDIR=$(mktemp -d "$tmp_parent/velk-fuzz.XXXXXX")
export TMPDIR
trap 'rm -rf "$TMPDIR"' EXIT
if symbolizer=$(command -v llvm-symbolizer-14 || command -v llvm-symbolizer); then
    export ASAN_SYMBOLIZER_PATH="$symbolizer"
fi

failed=()
for target in "${targets[@]}"; do
    log="$build/fuzz-$target.log"
    echo "== $target: ${seconds} s (log: $log)"
    # libFuzzer stops itself after max_total_time; timeout only guards against a hang.
    if timeout --kill-after=30 $((seconds + 120)) "$build/fuzz/fuzz_$target" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len="${max_len[$target]}" -dict="fuzz/dicts/$target.dict" \
        -artifact_prefix="$build/artifacts/$target-" -print_final_stats=1 \
        "$build/corpus/$target" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        units=$(find "$build/corpus/$target" -type f | wc -l)
        echo "   clean: $runs inputs run, corpus $units inputs"
    else
        failed+=("$target")
        echo "   FAILED; the end of its log:"
        tail -n 60 "$log"
    fi
done

if ((${#failed[@]} > 0)); then
    echo "Fuzzing found faults in: ${failed[*]} (inputs in $build/artifacts/)"
    exit 1
fi
echo "Fuzzing clean: ${targets[*]}"
