#!/usr/bin/env bash
# Listing against salvaging: `zipsalvage -l` (headers alone) and a whole salvage of the same
# archive, with `unzip -l` (which reads the central directory alone) as the reference, measured
# alternately in one run, best of ROUNDS wall times each. Also checks that the listing counts as
# many entries as unzip, and lists the same count with the directory cut off.
#
# usage: bench/engine/listing_bench.sh ZIPSALVAGE_BINARY [ROUNDS] [ARCHIVE]
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
entries="$(unzip -Z1 "$archive" | wc -l)"
echo "archive: $(stat -c %s "$archive") bytes, $entries entries"

# Wall time of one command, in seconds.
timed() {
    /usr/bin/time -f '%e' -o "$work/time" "$@" >/dev/null 2>&1 || true
    cat "$work/time"
}
best() { sort -n | head -1; }
for _ in $(seq "$rounds"); do
    timed "$binary" -l "$archive" >>"$work/list"
    timed "$binary" -q -y --threads 1 -o "$work/out.zip" "$archive" >>"$work/salvage"
    timed unzip -l "$archive" >>"$work/unzip"
done
list="$(best <"$work/list")"
salvage="$(best <"$work/salvage")"
unzipList="$(best <"$work/unzip")"
printf 'zipsalvage -l:            %6.2f s\n' "$list"
printf 'zipsalvage (--threads 1): %6.2f s\n' "$salvage"
printf 'unzip -l:                 %6.2f s\n' "$unzipList"
printf 'salvage / listing: %.1fx   listing / unzip -l: %.2fx\n' \
    "$(echo "$salvage / $list" | bc -l)" "$(echo "$list / $unzipList" | bc -l)"

listed="$("$binary" -l "$archive" | sed -n 's/^  \([0-9]*\) files found$/\1/p')"
directory="$(python3 -c 'import sys, zipfile; print(zipfile.ZipFile(sys.argv[1]).start_dir)' \
    "$archive")"
head -c "$directory" "$archive" >"$work/cut.zip"
cutListed="$("$binary" -l "$work/cut.zip" | sed -n 's/^  \([0-9]*\) files found$/\1/p')"
echo "entries listed: $listed (unzip: $entries; directory cut off: $cutListed)"
[ "$listed" = "$entries" ] && [ "$cutListed" = "$entries" ]
