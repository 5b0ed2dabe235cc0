#!/usr/bin/env bash
# Runs every media-tool command on every media fixture: what a file holds
# decides which commands must succeed; the rest must fail with a message.
# usage: media_tool_test.sh MEDIA_TOOL CORPUS_DIR
set -u
tool=$1
corpus=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# expect STATUS NAME COMMAND...: runs media-tool, checks its exit status, keeps stdout in $work/out.
expect() {
    local want=$1 name=$2
    shift 2
    "$tool" "$@" >"$work/out" 2>"$work/err"
    local got=$?
    [ "$got" -eq "$want" ] || fail "$name: media-tool $* exited $got, expected $want: $(head -c 300 "$work/err")"
    if [ "$want" -eq 1 ] && ! grep -q '^media-tool: ' "$work/err"; then fail "$name: no error text for $*"; fi
}

for file in "$corpus"/*; do
    name=$(basename "$file")
    case "$name" in *.md) continue ;; esac
    if [ "$name" = not_media.mkv ]; then
        for command in info decode framemd5 subs; do expect 1 "$name" "$command" "$file"; done
        continue
    fi
    expect 0 "$name" info "$file"
    python3 -m json.tool "$work/out" >/dev/null || fail "$name: info is not JSON"
    expect 0 "$name" info "$file" --json
    [ "$(wc -l <"$work/out")" -eq 1 ] || fail "$name: info --json is not one line"
    # Playable video: decodable and not an attached picture (disposition 1024).
    read -r video audio < <(python3 -c '
import json, sys
d = json.load(open(sys.argv[1]))
playable = [v for v in d["video"] if v["decoder"] != "disabled" and not v["disposition"] & 1024]
print(len(playable), len(d["audio"]))' "$work/out")
    expect 0 "$name" decode "$file"
    grep -q 'frames/s; peak memory [0-9]* KiB' "$work/out" || fail "$name: decode printed $(cat "$work/out")"
    expect 0 "$name" subs "$file"
    if [ "$video" -gt 0 ]; then
        expect 0 "$name" framemd5 "$file"
        grep -q '^#format: frame checksums' "$work/out" || fail "$name: framemd5 header"
        expect 0 "$name" grab "$file" 0.5 "$work/grab.png"
        [ "$(head -c 4 "$work/grab.png" | od -An -tx1 | tr -d ' ')" = 89504e47 ] || fail "$name: grab is no PNG"
    fi
    if [ "$video" -gt 0 ] && [ "$audio" -gt 0 ]; then
        expect 0 "$name" combine "$file" "$work/combined.mkv"
        [ -s "$work/combined.mkv" ] || fail "$name: combine wrote nothing"
    fi
done
expect 0 subtitles subs "$corpus/h264_movtext.mp4" "$corpus/../tests/tool/media_tool_cues.srt"
grep -q '^3 1.000 +1.500 One$' "$work/out" || fail "external cues: $(cat "$work/out")"
expect 1 missing info "$corpus/no-such-file.mkv"
expect 1 "beyond the end" grab "$corpus/h264_movtext.mp4" 60 "$work/none.png"
expect 2 usage info
expect 1 "audio only" combine "$corpus/aac_only.m4a" "$work/x.mkv"

[ "$failures" -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
echo "media-tool: all checks passed"
