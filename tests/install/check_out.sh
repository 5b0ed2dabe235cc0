#!/usr/bin/env bash
# build/out holds exactly what ships: the files the build's manifest lists.
# usage: check_out.sh OUT_DIR MANIFEST
set -euo pipefail
out=$1
manifest=$2
expected=$(sort -u "$manifest")
actual=$(cd "$out" && find . -mindepth 1 \( -type f -o -type l \) | sed 's|^\./||' | sort)
if [ "$expected" != "$actual" ]; then
  echo "build/out differs from what ships (< missing, > not shipped):" >&2
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") | grep '^[<>]' >&2
  exit 1
fi
echo "build/out holds the $(printf '%s\n' "$expected" | wc -l) shipped files"
