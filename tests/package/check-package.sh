#!/usr/bin/env bash
# Checks the Debian package of the program:
#   check-package.sh --build <build folder>   makes the package from that build with CPack first
#   check-package.sh --deb <file.deb>         checks a package made elsewhere (CI's Release build)
# (a) the control fields, with the dependencies dpkg-shlibdeps found; file owners and modes;
# (b) the files, extracted: programs (executable, stripped), manual pages (read by man without a
#     warning), bash completion (completing against a stand-in program), AppStream metadata,
#     desktop entry (and the velkdownloader:// handler it makes), icons, doc files;
# (c) installing into a throw-away root with an empty dpkg database, and removing it again;
# (d) desktop-file-validate and appstreamcli on the extracted files;
# (e) the extracted velkdownloader-cli --version.
# Every fault is listed; the exit status is 1 when there was one. Nothing outside a temporary
# folder is touched: HOME and the XDG folders point into it.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build="" deb=""
while (($# > 0)); do
    case $1 in
        --build) build=$2; shift 2 ;;
        --deb) deb=$2; shift 2 ;;
        *) echo "usage: $0 --build <build folder> | --deb <file.deb>" >&2; exit 2 ;;
    esac
done
[[ -n $build || -n $deb ]] || { echo "usage: $0 --build <build folder> | --deb <file.deb>" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/velk-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
export XDG_STATE_HOME="$work/home/.local/state" XDG_CACHE_HOME="$work/home/.cache"
export XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_DIRS="$work/etc-xdg"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

faults=0
fault() {
    echo "FAULT: $*" >&2
    faults=$((faults + 1))
}

version=$(sed -n 's/^project(VelkDownloader VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
[[ -n $version ]] || { echo "no project version in $source_dir/CMakeLists.txt" >&2; exit 1; }

if [[ -n $build ]]; then
    if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/cpack" >"$work/cpack.log" 2>&1; then
        cat "$work/cpack.log" >&2
        echo "cpack failed" >&2
        exit 1
    fi
    deb=$(find "$work/cpack" -maxdepth 1 -name '*.deb' -print -quit)
    [[ -n $deb ]] || { echo "cpack made no .deb" >&2; exit 1; }
fi
[[ -f $deb ]] || { echo "no package at $deb" >&2; exit 1; }
echo "== $deb"

# (a) The control fields.
field() { dpkg-deb --field "$deb" "$1"; }
[[ $(field Package) == velkdownloader ]] || fault "Package is '$(field Package)'"
[[ $(field Version) == "$version" ]] || fault "Version is '$(field Version)', the project's is $version"
[[ $(field Architecture) == "$(dpkg --print-architecture)" ]] ||
    fault "Architecture is '$(field Architecture)'"
[[ $(field Section) == net ]] || fault "Section is '$(field Section)'"
[[ $(field Maintainer) == *?\ \<?*@?*\> ]] || fault "Maintainer is '$(field Maintainer)'"
[[ -n $(field Description) ]] || fault "no Description"
depends=$(field Depends)
echo "Depends: $depends"
# The libraries the programs link, by their Debian package names: whatever version of each
# dpkg-shlibdeps found, the package must be named.
for library in 'libqt6core6' 'libqt6gui6' 'libqt6widgets6' 'libcurl4' 'libssl3' 'libsqlite3-0'; do
    [[ ", $depends" == *", $library "* || ", $depends" == *", $library,"* || ", $depends" == *", $library" ]] ||
        fault "Depends lacks $library"
done

# Owners and modes as Debian wants them: root's, folders 0755, nothing writable by others.
while read -r mode owner _ _ _ path _; do
    [[ $owner == root/root ]] || fault "$path is owned by $owner"
    case $mode in
        d*) [[ $mode == drwxr-xr-x ]] || fault "folder $path has mode $mode" ;;
        -rwxr-xr-x | -rw-r--r--) ;;
        *) fault "$path has mode $mode" ;;
    esac
done < <(dpkg-deb --contents "$deb")

# (b) The files.
root="$work/extracted"
dpkg-deb -x "$deb" "$root" || fault "dpkg-deb -x failed"
share="$root/usr/share"
expected=(
    usr/bin/velkdownloader
    usr/bin/velkdownloader-cli
    usr/share/applications/velkdownloader.desktop
    usr/share/icons/hicolor/16x16/apps/velkdownloader.png
    usr/share/icons/hicolor/32x32/apps/velkdownloader.png
    usr/share/icons/hicolor/64x64/apps/velkdownloader.png
    usr/share/man/man1/velkdownloader.1.gz
    usr/share/man/man1/velkdownloader-cli.1.gz
    usr/share/bash-completion/completions/velkdownloader-cli
    usr/share/metainfo/com.velkora.VelkDownloader.metainfo.xml
    usr/share/doc/velkdownloader/copyright
    usr/share/doc/velkdownloader/changelog.gz
)
for path in "${expected[@]}"; do
    [[ -f $root/$path ]] || fault "not in the package: $path"
done
extra=$(cd "$root" && find . -type f | sed 's|^\./||' | sort | comm -23 - <(printf '%s\n' "${expected[@]}" | sort))
[[ -z $extra ]] || fault "unexpected files in the package: $extra"

for program in velkdownloader velkdownloader-cli; do
    file="$root/usr/bin/$program"
    [[ -x $file ]] || fault "$program is not executable"
    readelf -S "$file" 2>/dev/null | grep -q '\.symtab' && fault "$program is not stripped"
done

for size in 16 32 64; do
    icon="$share/icons/hicolor/${size}x${size}/apps/velkdownloader.png"
    [[ $(file -b "$icon") == "PNG image data, $size x $size,"* ]] ||
        fault "the ${size}x${size} icon is: $(file -b "$icon")"
done

# The manual pages as lintian reads them: any warning of man or groff is a fault.
for page in velkdownloader velkdownloader-cli; do
    gz="$share/man/man1/$page.1.gz"
    gzip -t "$gz" || { fault "$page.1.gz is not gzip"; continue; }
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$gz" 2>&1 >/dev/null)
    [[ -z $warnings ]] || fault "man warns about $page.1: $warnings"
    text=$(MANWIDTH=200 man -l "$gz" 2>/dev/null)
    for section in NAME SYNOPSIS DESCRIPTION 'EXIT STATUS' FILES ENVIRONMENT EXAMPLES; do
        grep -qx "$section" <<<"$text" || fault "$page.1 has no $section section"
    done
    for variable in VELKDOWNLOADER_API_URL VELKDOWNLOADER_SITE_URL VELKDOWNLOADER_CA_FILE https_proxy; do
        grep -q "$variable" <<<"$text" || fault "$page.1 does not name $variable"
    done
done
cli_page=$(MANWIDTH=200 man -l "$share/man/man1/velkdownloader-cli.1.gz" 2>/dev/null)
for word in --version --help list remove --delete-files --json '"type":"progress"' '"type":"result"' 130; do
    grep -qF -- "$word" <<<"$cli_page" || fault "velkdownloader-cli.1 does not document $word"
done

changelog_head=$(gzip -dc "$share/doc/velkdownloader/changelog.gz" | head -n 1)
[[ $changelog_head == "velkdownloader ($version) "* ]] ||
    fault "the changelog's first entry is not this version: $changelog_head"
grep -q '^Copyright: ' "$share/doc/velkdownloader/copyright" || fault "the copyright file has no Copyright field"

# The desktop entry: the validator's silence, and what makes the program the URL handler.
entry="$share/applications/velkdownloader.desktop"
output=$(desktop-file-validate "$entry" 2>&1) || fault "desktop-file-validate failed"
[[ -z $output ]] || fault "desktop-file-validate: $output"
for line in 'Exec=velkdownloader %u' 'MimeType=x-scheme-handler/velkdownloader;' 'Icon=velkdownloader' 'Type=Application'; do
    grep -qxF "$line" "$entry" || fault "the desktop entry lacks '$line'"
done
# What the package's dpkg trigger (desktop-file-utils) does on installing, then xdg-mime's answer
# for a user with no settings of their own.
update-desktop-database "$share/applications" || fault "update-desktop-database failed"
grep -qxF 'x-scheme-handler/velkdownloader=velkdownloader.desktop;' "$share/applications/mimeinfo.cache" ||
    fault "mimeinfo.cache does not name velkdownloader.desktop for velkdownloader://"
rm -f "$share/applications/mimeinfo.cache"
handler=$(XDG_DATA_DIRS="$share" xdg-mime query default x-scheme-handler/velkdownloader 2>&1)
[[ $handler == velkdownloader.desktop ]] || fault "xdg-mime names '$handler' as the velkdownloader:// handler"

# (d) AppStream metadata: valid, no warnings, naming the desktop entry as its launchable.
metainfo="$share/metainfo/com.velkora.VelkDownloader.metainfo.xml"
output=$(appstreamcli validate --no-net --no-color "$metainfo" 2>&1) || fault "appstreamcli validate: $output"
grep -qE '^[EW]: ' <<<"$output" && fault "appstreamcli validate: $output"
grep -qF '<launchable type="desktop-id">velkdownloader.desktop</launchable>' "$metainfo" ||
    fault "the metadata does not launch velkdownloader.desktop"
grep -qF "<release version=\"$version\"" "$metainfo" || fault "the metadata has no release $version"

# The bash completion, run against a stand-in program that lists two games.
completion="$share/bash-completion/completions/velkdownloader-cli"
if [[ -f /usr/share/bash-completion/bash_completion ]]; then
    cat >"$work/stand-in" <<'STANDIN'
#!/bin/sh
[ "$1 $2" = "list --json" ] || exit 2
echo '{"name":"showcase-game","title":"Showcase","state":"paused","bytes":1,"total":2,"folder":"/a"}'
echo '{"name":"second.game_2","title":"A \"quoted\" title","state":"completed","bytes":2,"total":2,"folder":"/b"}'
STANDIN
    chmod +x "$work/stand-in"
    mkdir -p "$work/folders/games" "$work/folders/gone" && touch "$work/folders/game-file"
    # Each case: the line typed so far, and the completions expected (sorted). "P" stands for
    # the program.
    cases=(
        'P |list remove velkdownloader://'
        'P r|remove'
        'P velkdownloader:|//'
        'P --f|--folder'
        'P --folder g|games gone'
        'P --connections 2|2 20'
        'P --limit-rate 1|10M 1M'
        'P --l|--limit-rate'
        'P --email |'
        'P list --|--json'
        'P remove |second.game_2 showcase-game'
        'P remove se|second.game_2'
        'P remove --delete-files |second.game_2 showcase-game'
        'P remove showcase-game |'
        'P remove showcase-game --|--delete-files'
        'P --verbose |velkdownloader://'
        'P --verbose list |velkdownloader://'
    )
    typed=() expected_results=""
    for case in "${cases[@]}"; do
        typed+=("${case%%|*}")
        expected_results+="${case#*|}"$'\n'
    done
    results=$(cd "$work/folders" && printf '%s\n' "${typed[@]//P/$work/stand-in}" |
        bash --norc --noprofile "$here/complete-lines.bash" "$completion" _velkdownloader_cli 2>&1)
    expected_results=${expected_results%$'\n'}
    [[ $results == "$expected_results" ]] ||
        fault "bash completion gave:"$'\n'"$results"$'\n'"instead of:"$'\n'"$expected_results"
else
    fault "bash-completion is not installed; the completion was not tried"
fi

# (c) Installed into a throw-away root with an empty dpkg database, listed, removed.
target="$work/target"
mkdir -p "$target/var/lib/dpkg/info" "$target/var/lib/dpkg/updates" "$target/var/lib/dpkg/triggers"
touch "$target/var/lib/dpkg/status" "$target/var/lib/dpkg/available"
as_root=()
if [[ $(id -u) -ne 0 ]]; then as_root=(fakeroot); fi
# Its dependencies are not in the empty database; they are what --force-depends lets pass.
if "${as_root[@]}" dpkg --root="$target" --force-depends --force-not-root -i "$deb" >"$work/dpkg.log" 2>&1; then
    listed=$(dpkg --root="$target" -L velkdownloader)
    for path in "${expected[@]}"; do
        grep -qxF "/$path" <<<"$listed" || fault "dpkg does not list /$path as installed"
        [[ -f $target/$path ]] || fault "/$path was not installed"
    done
    [[ $(dpkg-query --admindir="$target/var/lib/dpkg" -W -f='${Status}' velkdownloader) == "install ok installed" ]] ||
        fault "dpkg does not see the package installed"
    if "${as_root[@]}" dpkg --root="$target" --force-not-root --purge velkdownloader >>"$work/dpkg.log" 2>&1; then
        left=$(cd "$target" && find . -mindepth 1 ! -path './var' ! -path './var/lib' ! -path './var/lib/dpkg' ! -path './var/lib/dpkg/*')
        [[ -z $left ]] || fault "left after removal: $left"
        status=$(dpkg-query --admindir="$target/var/lib/dpkg" -W -f='${Status}' velkdownloader 2>/dev/null)
        [[ -z $status || $status == *" not-installed" ]] || fault "dpkg still knows the package: $status"
    else
        cat "$work/dpkg.log" >&2
        fault "dpkg --purge failed"
    fi
else
    cat "$work/dpkg.log" >&2
    fault "dpkg -i into a throw-away root failed"
fi

# (e) The packaged command-line program runs and knows its version.
cli_version=$("$root/usr/bin/velkdownloader-cli" --version 2>&1)
status=$?
[[ $status -eq 0 ]] || fault "velkdownloader-cli --version exited with $status: $cli_version"
[[ $(head -n 1 <<<"$cli_version") == "velkdownloader-cli $version" ]] ||
    fault "velkdownloader-cli --version printed '$cli_version', not 'velkdownloader-cli $version'"

if ((faults > 0)); then
    echo "$faults fault(s) in $deb" >&2
    exit 1
fi
echo "the package is sound"
