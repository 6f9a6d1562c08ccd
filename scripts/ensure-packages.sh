#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are not installed yet.
# Quick when everything is present: it asks dpkg first and runs apt only for what is missing.
set -euo pipefail
missing=()
for pkg in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
((${#missing[@]} == 0)) && exit 0
echo "Installing Debian packages: ${missing[*]}"
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
