#!/usr/bin/env bash
# --copy-intact against `7z t`, which also inflates and checks every entry: a salvage of an
# intact archive with --copy-intact, and without it, alternated with `7z t` of the same archive
# so that all meet the same machine, best of ROUNDS wall times each. Prints the times, the
# ratios to 7z, and checks that the copy extracts (unzip -t).
#
# usage: bench/engine/copy_intact_bench.sh ZIPSALVAGE_BINARY [ROUNDS] [ARCHIVE]
#   ROUNDS defaults to 3; without ARCHIVE, one is made of /usr/include and /usr/share/doc with
#   zip -r -6.
set -euo pipefail
binary="$(realpath "$1")"
rounds="${2:-3}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
archive="${3:-}"
if [ -z "$archive" ]; then
    archive="$work/corpus.zip"
    (cd / && zip -q -r -6 "$archive" usr/include usr/share/doc)
fi
echo "archive: $(stat -c %s "$archive") bytes, $(unzip -Z1 "$archive" | wc -l) entries"

# Runs a command; prints its wall time.
timed() {
    /usr/bin/time -f '%e' -o "$work/time" "$@" >/dev/null 2>&1 || true
    cat "$work/time"
}

best() { sort -n | head -1; }
for _ in $(seq "$rounds"); do
    timed "$binary" -q -y --copy-intact -o "$work/copied.zip" "$archive" >>"$work/copy"
    timed 7z t "$archive" >>"$work/7z"
    timed "$binary" -q -y -o "$work/encoded.zip" "$archive" >>"$work/encode"
done
copyWall="$(best <"$work/copy")"
sevenWall="$(best <"$work/7z")"
encodeWall="$(best <"$work/encode")"
printf 'zipsalvage --copy-intact: wall %6.2f s  %d bytes\n' "$copyWall" \
    "$(stat -c %s "$work/copied.zip")"
printf 'zipsalvage:               wall %6.2f s  %d bytes\n' "$encodeWall" \
    "$(stat -c %s "$work/encoded.zip")"
printf '7z t:                     wall %6.2f s\n' "$sevenWall"
printf 'ratio --copy-intact / 7z t: %.2f\n' "$(echo "$copyWall / $sevenWall" | bc -l)"
printf 'ratio default / 7z t:       %.2f\n' "$(echo "$encodeWall / $sevenWall" | bc -l)"
if unzip -tq "$work/copied.zip" >/dev/null; then
    echo "copy: unzip -t passes"
else
    echo "copy: unzip -t FAILS"
    exit 1
fi
