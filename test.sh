#!/usr/bin/env bash
# Builds VelkDownloader and runs the whole test suite with CTest.
#   ./test.sh          normal build (build/)
#   ./test.sh asan     AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
#   ./test.sh tsan     ThreadSanitizer (build-tsan/)
# Extra arguments after the mode go to ctest (for example: ./test.sh default -R Registry).
set -euo pipefail
cd "$(dirname "$0")"

mode="${1:-default}"
shift || true
case "$mode" in
    default) build_dir=build; sanitize="" ;;
    asan) build_dir=build-asan; sanitize=address ;;
    tsan) build_dir=build-tsan; sanitize=thread ;;
    *) echo "usage: $0 [default|asan|tsan] [ctest args...]" >&2; exit 2 ;;
esac

mapfile -t packages < <(grep -v '^#' scripts/packages.txt)
scripts/ensure-packages.sh "${packages[@]}"

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_WERROR=ON -DVELK_SANITIZE="$sanitize" >/dev/null
cmake --build "$build_dir"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" "$@"
