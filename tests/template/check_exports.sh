#!/usr/bin/env bash
# The library's dynamic symbol table must hold exactly the listed exports.
set -euo pipefail
lib=$1 list=$2
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWDdBbRrVvi]$/ {print $3}' | sed 's/@.*//' | sort -u)
expected=$(grep -E '^[a-z_0-9]+$' "$list" | sort -u)
if [ "$actual" != "$expected" ]; then
  echo "export mismatch for $lib (< missing, > unexpected):"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
echo "$(echo "$expected" | wc -l) exports, as listed"
