#!/usr/bin/env bash
# The whole job: salvaging an intact archive of a corpus of real files against the usual tools
# doing the same decode-and-re-deflate work (unzip -o -d DIR, then zip -r -6 of DIR), in the
# same run. Prints wall and CPU (user + system) times of both and their ratios; on a shared
# machine the CPU ratio is the steadier one.
#
# usage: bench/recompress/whole_job.sh ZIPSALVAGE_BINARY [LEVEL]
#   LEVEL is the zip level of the archive to salvage (default 6; 0 gives a stored archive,
#   which leaves the decoding side out).
set -euo pipefail
binary="$(realpath "$1")"
level="${2:-6}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

(cd / && zip -q -r -"$level" "$work/corpus.zip" usr/include usr/share/doc)
files="$(unzip -Z1 "$work/corpus.zip" | grep -vc '/$')"
bytes="$(du -sb /usr/include /usr/share/doc | awk '{s += $1} END {print s}')"
echo "corpus: $files files, $((bytes / 1000000)) MB, archive made with zip -$level"

# Runs a command under /usr/bin/time; prints "wall cpu".
timed() {
    /usr/bin/time -f '%e %U %S' -o "$work/time" "$@" >/dev/null 2>&1 || true
    awk '{printf "%.2f %.2f\n", $1, $2 + $3}' "$work/time"
}

read -r salvageWall salvageCpu < <(timed "$binary" -y -o "$work/Salvaged.zip" "$work/corpus.zip")
read -r unzipWall unzipCpu < <(timed unzip -q -o -d "$work/dir" "$work/corpus.zip")
read -r zipWall zipCpu < <(timed sh -c "cd '$work/dir' && zip -q -r -6 '$work/rezipped.zip' .")

toolsWall="$(echo "$unzipWall + $zipWall" | bc)"
toolsCpu="$(echo "$unzipCpu + $zipCpu" | bc)"
printf 'zipsalvage:        wall %6.2f s  cpu %6.2f s  %d bytes\n' "$salvageWall" "$salvageCpu" \
    "$(stat -c %s "$work/Salvaged.zip")"
printf 'unzip + zip -r -6: wall %6.2f s  cpu %6.2f s  %d bytes\n' "$toolsWall" "$toolsCpu" \
    "$(stat -c %s "$work/rezipped.zip")"
printf 'ratio: wall %.3f  cpu %.3f\n' "$(echo "$salvageWall / $toolsWall" | bc -l)" \
    "$(echo "$salvageCpu / $toolsCpu" | bc -l)"
