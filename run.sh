#!/usr/bin/env bash
# Builds VelkDownloader and shows it working on a demo home folder (build/run-home), never on
# the real user's settings: a first instance starts with a game from its command line, a second
# start hands it another game, and the first instance's log is shown.
set -euo pipefail
cd "$(dirname "$0")"

mapfile -t packages < <(grep -v '^#' scripts/packages.txt)
scripts/ensure-packages.sh "${packages[@]}"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target velkdownloader-cli

demo_home="$PWD/build/run-home"
rm -rf "$demo_home"
mkdir -p "$demo_home/run"
chmod 700 "$demo_home/run"
export HOME="$demo_home" XDG_CONFIG_HOME="$demo_home/.config" XDG_DATA_HOME="$demo_home/.local/share"
export XDG_RUNTIME_DIR="$demo_home/run"
cli="$PWD/build/cli/velkdownloader-cli"

echo "== first instance: velkdownloader://demo-game"
"$cli" --serve-seconds 30 velkdownloader://demo-game &
first=$!
trap 'kill $first 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    [[ -f "$XDG_DATA_HOME/VelkDownloader/output.log" ]] && break
    sleep 0.1
done
sleep 0.5

echo "== second start: velkdownloader://second-game/"
"$cli" velkdownloader://second-game/
sleep 0.5
kill -TERM $first
wait $first || true
trap - EXIT

echo "== settings store: $XDG_CONFIG_HOME/VelkDownloader/registry.sqlite3"
echo "== log ($XDG_DATA_HOME/VelkDownloader/output.log):"
iconv -f UTF-16 -t UTF-8 "$XDG_DATA_HOME/VelkDownloader/output.log" | tr -d '\r'
