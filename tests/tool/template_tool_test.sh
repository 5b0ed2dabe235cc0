#!/usr/bin/env bash
# Runs template-tool end to end: packing, listing, translating and the refusals.
# usage: template_tool_test.sh TEMPLATE_TOOL TEMPLATES_DIR LEGACY_DIR
set -u
tool=$1
templates=$2
legacy=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# expect STATUS STREAM TEXT COMMAND...: runs COMMAND, checks its exit status and
# that its stdout ("out") or stderr ("err") contains TEXT.
expect() {
    local want=$1 stream=$2 text=$3
    shift 3
    "$@" >"$work/out" 2>"$work/err"
    local got=$?
    if [ "$got" != "$want" ]; then
        fail "$*: exit status $got, expected $want"
        cat "$work/err" >&2
    elif ! grep -qF -- "$text" "$work/$stream"; then
        fail "$*: std$stream lacks '$text'"
        cat "$work/$stream" >&2
    fi
}

# Packing the sample templates, plain and compressed, gives bundles that list the same.
expect 0 out "packed 5 files" "$tool" pack "$templates" "$work/plain.txt"
expect 0 out "zlib" "$tool" pack "$templates" "$work/zlib.txt" --zlib
[ "$(head -c 1 "$work/zlib.txt" | od -An -tx1 | tr -d ' ')" = 78 ] || fail "--zlib did not write a zlib stream"
"$tool" list "$work/plain.txt" >"$work/plain.list" || fail "list of the plain bundle failed"
"$tool" list "$work/zlib.txt" >"$work/zlib.list" || fail "list of the zlib bundle failed"
cmp -s "$work/plain.list" "$work/zlib.list" || fail "plain and zlib bundles list differently"
for name in dynamictemplates.json ffop.json homepage.json settings.json strings.json; do
    size=$(wc -c <"$templates/$name")
    grep -qE "^ +[0-9]+ +$name +$size\$" "$work/plain.list" || fail "list lacks $name with $size bytes"
done
grep -qx "languages (4): en en-US fr de" "$work/plain.list" || fail "list shows other languages"
if grep -q "^warnings" "$work/plain.list"; then fail "the sample bundle loads with warnings"; fi

# Pack takes only regular .json files, in byte order of their names, and keeps
# every byte of text that needs escaping.
mkdir -p "$work/mixed/folder.json"
printf '{"Key": "b"}' >"$work/mixed/b.json"
printf '{"Key": "\\"quoted\\" \\\\ tab\\tline\\nbreak é"}\n\t\001\n' >"$work/mixed/Z.json"
printf 'not a template' >"$work/mixed/notes.txt"
"$tool" pack "$work/mixed" "$work/mixed.txt" >/dev/null || fail "pack of a mixed folder failed"
"$tool" list "$work/mixed.txt" >"$work/mixed.list"
grep -E '^ +[0-9]+ +[^ ]+\.json' "$work/mixed.list" | awk '{print $1, $2, $3}' >"$work/mixed.entries"
printf '0 Z.json %s\n1 b.json 12\n' "$(wc -c <"$work/mixed/Z.json")" | cmp -s - "$work/mixed.entries" ||
    fail "mixed folder packed as: $(cat "$work/mixed.entries")"

# Load warnings are listed.
mkdir -p "$work/broken"
printf '{"fr": ' >"$work/broken/strings.json"
"$tool" pack "$work/broken" "$work/broken.txt" >/dev/null || fail "pack of a broken strings.json failed"
expect 0 out "strings.json is not valid JSON" "$tool" list "$work/broken.txt"

# Refused input: exit status 1 and the reason on stderr.
printf '[1]' >"$work/array.txt"
mkdir -p "$work/empty"
expect 1 err "bundle root is not a JSON object" "$tool" list "$work/array.txt"
expect 1 err "cannot open $work/missing.txt" "$tool" list "$work/missing.txt"
expect 1 err "cannot read directory" "$tool" pack "$work/no-such-dir" "$work/out.txt"
expect 1 err "cannot write" "$tool" pack "$work/empty" "$work/no-such-dir/out.txt"
expect 1 err "bundle root is not a JSON object" "$tool" translate "$work/array.txt" fr Subtitles

# Translations as the player shows them.
expect 0 out "Sous-titres" "$tool" translate "$work/plain.txt" fr Subtitles
expect 0 out "Sous-titres" "$tool" translate "$work/plain.txt" fr-CA Subtitles
expect 0 err "no table 'fr-CA'" "$tool" translate "$work/plain.txt" fr-CA Subtitles
expect 0 out "Text color" "$tool" translate "$work/plain.txt" en-US SubtitleColour
expect 0 out "NoSuchKey  (no translation)" "$tool" translate "$work/plain.txt" de Subtitles NoSuchKey
expect 1 err "language is empty" "$tool" translate "$work/plain.txt" "" Subtitles

# Lint: the samples read cleanly; a legacy-style template shows every kind of
# warning, and templates that do not parse fail the run with their reason.
expect 0 out "5 templates: 0 failed, 0 with warnings" "$tool" lint "$work/plain.txt"
"$tool" pack "$legacy" "$work/legacy.txt" >/dev/null || fail "pack of the legacy fixture failed"
"$tool" lint "$work/legacy.txt" >"$work/lint.out" 2>&1
[ $? = 1 ] || fail "lint of failing templates did not exit 1"
expect 0 out "legacy.json: ok, 9 warnings" "$tool" lint "$work/legacy.txt" legacy.json
while IFS= read -r line; do
    grep -qF -- "$line" "$work/lint.out" || fail "lint output lacks: $line"
done <<'LINES'
  warning: template: Newtonsoft metadata property '$type' ignored
  warning: template: 'DisplayName' is an object/array (legacy throws) — treated as null
  warning: template: 'Extension' is not an object (legacy throws) — treated as null
  warning: template: RuntimeSettings/RuntimeFlags value 'Nested' is an object/array (legacy throws) — ignored
  warning: template: 'Items' element "just a string" is not an object (legacy throws) — kept as null
  warning: template: 'Items' element is not an object (legacy throws) — kept as null
  warning: template: 'Values' is not an array (legacy throws) — treated as null
  warning: template: 'Settings' is not an array (legacy throws) — treated as null
  warning: trailing data after the JSON value at byte
broken.json: FAILED
  warning: invalid JSON at byte 32: unexpected end of data
  error: broken.json is not a SetttingsGroup template (invalid JSON)
  error: empty.json is not a SetttingsGroup template (empty)
3 templates: 2 failed, 2 with warnings
LINES
expect 1 out "error: no template named other.json" "$tool" lint "$work/legacy.txt" other.json
# Nesting beyond 256 levels (Group, Setting and Item are one level each) is cut.
mkdir -p "$work/deep"
{
    for _ in $(seq 90); do printf '{"Settings":[{"Items":[{"Group":'; done
    printf '{}'
    for _ in $(seq 90); do printf '}]}]}'; done
} >"$work/deep/deep.json"
"$tool" pack "$work/deep" "$work/deep.txt" >/dev/null || fail "pack of the deep template failed"
expect 0 out "warning: template: nesting deeper than 256 levels truncated (legacy Newtonsoft MaxDepth is 64)" \
    "$tool" lint "$work/deep.txt"

# Render and focus show a page as a console would, for the platform and flags given.
expect 0 out '"url":"open:' "$tool" render "$work/plain.txt" homepage.json
expect 0 out '"kind":"section"' "$tool" render "$work/plain.txt" settings.json --platform iOS --language fr --max-depth 0
expect 1 err "unknown platform 'Xbox'" "$tool" render "$work/plain.txt" settings.json --platform Xbox
expect 1 err "page 'Nowhere' not found in settings.json" "$tool" render "$work/plain.txt" settings.json Nowhere
expect 1 err "--flag takes KEY=VALUE" "$tool" render "$work/plain.txt" settings.json --flag beta
expect 0 out '{"form":"tv","columns":3,' "$tool" focus "$work/plain.txt" settings.json --form tv --columns=3
expect 0 out '"safe_inset":5,"sections":[{' "$tool" focus "$work/plain.txt" settings.json --rows 4
"$tool" focus "$work/plain.txt" settings.json --keys Down,Down,Down,Down,Enter,xbox:GamepadB,androidtv:20,cec:0x0d,M \
    >"$work/keys.out" || fail "focus --keys failed"
while IFS= read -r line; do
    grep -qxF -- "$line" "$work/keys.out" || fail "focus --keys output lacks: $line"
done <<'LINES'
Enter: confirm -> 0, focus 0 'HardwareDecoding', depth 1
xbox:GamepadB: back -> 0, focus 6 'AdvancedPlayback', depth 0
androidtv:20: nav_down -> 0, focus 7 'ShowSubtitles', depth 0
cec:0x0d: back -> 3, focus 7 'ShowSubtitles', depth 0
M: no action
LINES
expect 2 err "unknown option '--colour'" "$tool" focus "$work/plain.txt" settings.json --colour red
expect 2 err "usage: template-tool render" "$tool" render "$work/plain.txt"

# Usage errors: exit status 2 and the usage text.
expect 2 err "usage: template-tool COMMAND" "$tool"
expect 2 err "unknown command 'lint-all'" "$tool" lint-all
expect 2 err "usage: template-tool pack DIR OUT [--zlib]" "$tool" pack "$templates"
expect 2 err "usage: template-tool pack DIR OUT [--zlib]" "$tool" pack "$templates" "$work/x.txt" --fast
expect 2 err "usage: template-tool list BUNDLE" "$tool" list "$work/plain.txt" extra
expect 2 err "usage: template-tool translate BUNDLE LANG KEY..." "$tool" translate "$work/plain.txt" fr
expect 0 out "translate BUNDLE LANG KEY..." "$tool" --help

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all checks passed"
