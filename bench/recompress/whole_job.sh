#!/usr/bin/env bash
# The whole job: salvaging an intact archive of a corpus of real files against the usual tools
# doing the same decode-and-re-deflate work (unzip -o -d DIR, then zip -r -6 of DIR), in the
# same run. Prints both times and their ratio.
#
# usage: bench/recompress/whole_job.sh ZIPSALVAGE_BINARY [LEVEL]
#   LEVEL is the zip level of the archive to salvage (default 6; 0 gives a stored archive, which
#   times the encoder side alone).
set -euo pipefail
binary="$(realpath "$1")"
level="${2:-6}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

(cd / && zip -q -r -"$level" "$work/corpus.zip" usr/include usr/share/doc)
files="$(unzip -Z1 "$work/corpus.zip" | grep -vc '/$')"
bytes="$(du -sb /usr/include /usr/share/doc | awk '{s += $1} END {print s}')"
echo "corpus: $files files, $((bytes / 1000000)) MB, archive made with zip -$level"

now() { date +%s.%N; }
start="$(now)"
"$binary" -y -o "$work/Salvaged.zip" "$work/corpus.zip" >/dev/null || true
salvage="$(echo "$(now) - $start" | bc)"

start="$(now)"
unzip -q -o -d "$work/dir" "$work/corpus.zip"
(cd "$work/dir" && zip -q -r -6 "$work/rezipped.zip" .)
tools="$(echo "$(now) - $start" | bc)"

printf 'zipsalvage: %.2f s, %d bytes\n' "$salvage" "$(stat -c %s "$work/Salvaged.zip")"
printf 'unzip + zip -r -6: %.2f s, %d bytes\n' "$tools" "$(stat -c %s "$work/rezipped.zip")"
printf 'ratio: %.3f\n' "$(echo "$salvage / $tools" | bc -l)"
