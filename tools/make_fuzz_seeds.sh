#!/usr/bin/env bash
# Writes the seed corpus of fuzz/template_fuzz.cpp into fuzz/corpus/template/.
# A seed is one route byte followed by the input: 0 = a template text,
# 1 = a bundle, 2 = a bundle the target compresses with zlib first (the
# target reads the byte modulo 3 as the route and divided by 3 as the rule
# context, which is the default one for every seed here).
# Usage: tools/make_fuzz_seeds.sh   (rerun after changing assets/templates/)
set -euo pipefail
cd "$(dirname "$0")/.."
templates=assets/templates
out=fuzz/corpus/template
mkdir -p "$out"
rm -f "$out"/*

# The file as the body of a JSON string.
json_string_body() {
  sed -e 's/\\/\\\\/g' -e 's/"/\\"/g' -e 's/\t/\\t/g' -e 's/\r/\\r/g' "$1" | awk '{ printf "%s\\n", $0 }'
}

# seed NAME ROUTE: the seed file NAME holds the route byte, then standard input.
seed() {
  { printf "\\x0$2"; cat; } > "$out/$1"
}

small_strings='{"en": {"Settings": "Settings", "Playback": "Playback"}, "fr": {"Settings": "Paramètres"}, "de": {"Settings": "Einstellungen"}}'
small_strings_body=$(printf '%s' "$small_strings" | sed -e 's/\\/\\\\/g' -e 's/"/\\"/g')

for path in "$templates"/*.json; do
  name=$(basename "$path" .json)
  seed "text-$name" 0 < "$path"
  if [ "$name" = strings ]; then
    bundle="{\"strings.json\": \"$(json_string_body "$path")\"}"
  else
    bundle="{\"$name.json\": \"$(json_string_body "$path")\", \"strings.json\": \"$small_strings_body\"}"
  fi
  printf '%s' "$bundle" | seed "bundle-$name" 1
  printf '%s' "$bundle" | seed "zbundle-$name" 2
done

# Template texts in the style older documents were written in, and ones
# with the wrong shapes: each takes a lenient or a refusing path.
printf '%s' "// settings, hand edited
{
  /* the page */ Key: 'Legacy', DisplayName: 'It\\'s old',
  Settings: [{Key: 'Main', Items: [{Key: 'Ok', Type: 'Toggle', DefaultValue: 'True',},],},],
}" | seed legacy-lenient-syntax 0
printf '%s' '{"$type": "SettingsPage, Legacy", "Key": "Typed", "Settings": [{"$type": "Group", "Key": "G", "Items": []}]}' |
  seed legacy-type-members 0
printf '%s' '{"Key": 7, "DisplayName": ["not", "a", "scalar"], "Extension": "not an object", "Settings": {"Key": "x"}, "UseGrid": null}' |
  seed legacy-wrong-types 0
printf '%s' '{"Key": "Trailing", "Settings": []} trailing words' | seed legacy-trailing-data 0
printf '%s' '{"Key": "Numbers", "Settings": [{"Key": "N", "Items": [{"Key": "I", "DefaultValue": Infinity}, {"Key": "J", "DefaultValue": 1e400}]}]}' |
  seed legacy-odd-numbers 0
printf '\xef\xbb\xbf{"Key": "Bom\xff", "Settings": [null, "just a string", 42, {"Key": "Deep", "Group": {"Key": "Inner", "Settings": 7}}]}' |
  seed legacy-bom-and-bytes 0
printf '%s' '{"Key": "Broken", "Settings": [' | seed legacy-truncated 0
printf '%s' "{\"strings.json\": \"$small_strings_body\", \"settings.json\": 42}" | seed bundle-not-strings 1
printf '%s' "{\"a.json\": \"{Key: 'A', Settings: [],}\", \"strings.json\": \"{en: {Settings: 'S',},}\",}" | seed bundle-lenient 1
printf '%s' "{\"a.json\": \"{Key: 'A', Settings: [],}\", \"strings.json\": \"{en: {Settings: 'S',},}\",}" | seed zbundle-lenient 2
printf '%s' '["not", "an", "object"]' | seed bundle-array-root 1

# Large counts an author controls: a template whose dictionary and extension
# hold thousands of names (some differing only in case), and a bundle whose
# "ffop.json" switches thousands of flags, some given twice.
{
  printf '{"Key": "ManyKeys", "RuntimeSettings": {'
  for i in $(seq 0 999); do printf '"Name%d": "%d", "name%d": "lower", ' "$i" "$i" "$i"; done
  printf '"Last": "x"}, "Extension": {'
  for i in $(seq 0 999); do printf '"Prop%d": "%d", "PROP%d": "again", ' "$i" "$i" "$i"; done
  printf '"Common": {"Icon": "i.png"}}, "Settings": [{"Key": "S", "Items": [{"Key": "a"}, {"Key": "b", "Group": {"Settings": [{"Key": "T", "Items": [{"Key": "c"}]}]}}]}]}'
} | seed text-many-keys 0
{
  printf '{"ffop.json": "{\\"Settings\\": ['
  for i in $(seq 0 999); do printf '{\\"Key\\": \\"flag%d\\", \\"DefaultValue\\": %s}, ' "$i" "$([ $((i % 3)) = 0 ] && echo false || echo true)"; done
  for i in $(seq 0 49); do printf '{\\"Key\\": \\"flag%d\\", \\"DefaultValue\\": true}, ' "$i"; done
  printf '{\\"Key\\": \\"last\\"}]}", "home.json": "{\\"Settings\\": [{\\"Key\\": \\"S\\", \\"Items\\": ['
  for i in $(seq 0 49); do printf '{\\"Key\\": \\"i%d\\", \\"Extension\\": {\\"FeatureFlag\\": \\"flag%d\\"}}, ' "$i" "$((i * 7))"; done
  printf '{\\"Key\\": \\"end\\"}]}]}"}'
} | seed bundle-many-flags 1
