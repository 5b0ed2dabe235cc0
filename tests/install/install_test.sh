#!/usr/bin/env bash
# Installs the build into a staging folder (DESTDIR) and uses the installation
# as its users would: the layout, a C program per library built with
# pkg-config and with find_package, the tools, and the player started
# headless from its launcher.
# usage: install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER
set -euo pipefail
build=$1
source=$2
cc=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

prefix=/opt/orvello-player-test
DESTDIR=$work/stage cmake --install "$build" --prefix "$prefix" >"$work/install.log"
root=$work/stage$prefix

# The layout: the application folder, launcher and tools on the PATH, headers,
# package files, desktop entry, icon and licences.
for path in bin/orvello-player bin/template-tool bin/remote-tool bin/media-tool \
    lib/orvello-player/app \
    lib/orvello-player/orvellox-orvelloplayer-template-parse.so \
    lib/orvello-player/orvellox-orvelloplayer-ffmpeg-windows-xbox-playback-engine.so \
    lib/orvello-player/orvellox-orvelloplayer-remote-control-protocol.so \
    lib/orvello-player/assets/runtimetemplatebundle.txt lib/orvello-player/corpus/mkv_chapters_subs.mkv \
    include/orvello-player/optpl.h include/orvello-player/oppb.h include/orvello-player/oprc.h \
    share/applications/orvello-player.desktop share/icons/hicolor/scalable/apps/orvello-player.svg \
    share/doc/orvello-player/copyright; do
  [ -e "$root/$path" ] || fail "not installed: $path"
done
[ -L "$root/bin/orvello-player" ] || fail "bin/orvello-player is not a link to the player"
if grep -rqF "$work" "$root" 2>/dev/null; then fail "an installed file names the staging folder"; fi

# Every program answers --help and --version.
for program in orvello-player template-tool remote-tool media-tool; do
  "$root/bin/$program" --help >"$work/help" 2>&1 || fail "$program --help failed"
  grep -q -- '--version' "$work/help" || fail "$program --help does not list --version"
  "$root/bin/$program" --version >"$work/version" 2>&1 || fail "$program --version failed"
  grep -q 'ORVELLO PLAYER' "$work/version" || fail "$program --version: $(cat "$work/version")"
done

# A C program per library, compiled against the installation with pkg-config ...
pcdir=$(dirname "$(find "$root" -name orvello-template.pc | head -n 1)")
for part in template playback remote; do
  flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs "orvello-$part") || { fail "pkg-config orvello-$part"; continue; }
  # shellcheck disable=SC2086
  "$cc" -std=c99 -Wall -Werror -o "$work/pc_$part" "$here/consumer/use_$part.c" $flags ||
    { fail "building against orvello-$part with pkg-config"; continue; }
  "$work/pc_$part" >/dev/null || fail "the pkg-config program of orvello-$part failed"
done

# ... and with find_package.
if cmake -S "$here/consumer" -B "$work/consumer" -G Ninja -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$root" >"$work/consumer.log" 2>&1 &&
    cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1; then
  for part in template playback remote; do
    "$work/consumer/use_$part" >/dev/null || fail "the find_package program of orvello-$part failed"
  done
else
  cat "$work/consumer.log" >&2
  fail "building against the libraries with find_package"
fi

# The tools work from the PATH with the installed libraries.
"$root/bin/template-tool" list "$root/lib/orvello-player/assets/runtimetemplatebundle.txt" >"$work/list" ||
  fail "template-tool list of the installed bundle"
grep -q 'homepage.json' "$work/list" || fail "template-tool list lacks homepage.json"

# The player, started headless through the launcher: exit status 0, the
# chrome on its screenshot (background, the title in its colour) and in its tree.
mkdir -p "$work/local"
printf 'wait 1500\nshot %s\ntree %s\nquit\n' "$work/app.png" "$work/tree.json" >"$work/script"
if "$root/bin/orvello-player" --headless --quiet --temp-dir "$work" --local-dir "$work/local" \
    --script "$work/script" >"$work/app.out" 2>&1; then
  python3 "$here/png_colours.py" "$work/app.png" 4,4=12,14,18 --somewhere 0,214,214@40,20,700,120 ||
    fail "the installed player's screenshot lacks the chrome"
  for name in '"header"' '"title"' '"status"' '"page_panel"'; do
    grep -q "$name" "$work/tree.json" || fail "the installed player's tree lacks $name"
  done
else
  cat "$work/app.out" >&2
  fail "the installed player did not end cleanly"
fi

[ "$failures" = 0 ] || exit 1
echo "installation in $prefix works"
