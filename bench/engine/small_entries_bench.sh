#!/usr/bin/env bash
# The whole job on an archive of many small files (zip -r -6 of /usr/include): one build of
# the program against another in the same run, best wall time of three rounds each (run in
# turn), their ratio, both peak resident sets, and a check that both wrote the same bytes.
# The temporary folder is where TMPDIR points (default /tmp); run it once with TMPDIR on a
# disk and once on tmpfs to see what the per-entry temporary file costs.
#
# usage: bench/engine/small_entries_bench.sh BASELINE_BINARY CANDIDATE_BINARY
set -euo pipefail
baseline="$(realpath "$1")"
candidate="$(realpath "$2")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

(cd / && zip -q -r -6 "$work/corpus.zip" usr/include)
files="$(unzip -Z1 "$work/corpus.zip" | grep -vc '/$')"
echo "corpus: $files files, $(stat -c %s "$work/corpus.zip") bytes (zip -r -6 of /usr/include)," \
    "TMPDIR=${TMPDIR:-/tmp} ($(df -T "${TMPDIR:-/tmp}" | awk 'NR == 2 {print $2}'))"
cat "$work/corpus.zip" > /dev/null

# Runs one salvage under /usr/bin/time; prints "wall maxrss_kB".
timed() {
    /usr/bin/time -f '%e %M' -o "$work/time" "$1" -y -o "$2" "$work/corpus.zip" >/dev/null 2>&1 || true
    cat "$work/time"
}

best() { sort -n | head -1; }
: > "$work/baseline"
: > "$work/candidate"
for round in 1 2 3; do
    read -r wall rss < <(timed "$baseline" "$work/baseline.zip")
    echo "$wall $rss" >> "$work/baseline"
    read -r wall2 rss2 < <(timed "$candidate" "$work/candidate.zip")
    echo "$wall2 $rss2" >> "$work/candidate"
    echo "round $round: baseline ${wall} s  candidate ${wall2} s"
done
baselineWall="$(cut -d' ' -f1 "$work/baseline" | best)"
candidateWall="$(cut -d' ' -f1 "$work/candidate" | best)"
baselineRss="$(cut -d' ' -f2 "$work/baseline" | sort -n | tail -1)"
candidateRss="$(cut -d' ' -f2 "$work/candidate" | sort -n | tail -1)"
printf 'best wall: baseline %.2f s, candidate %.2f s, ratio candidate/baseline %.3f\n' \
    "$baselineWall" "$candidateWall" "$(echo "$candidateWall / $baselineWall" | bc -l)"
printf 'peak RSS: baseline %d kB, candidate %d kB\n' "$baselineRss" "$candidateRss"
if cmp -s "$work/baseline.zip" "$work/candidate.zip"; then
    echo "outputs: identical"
else
    echo "outputs: DIFFER"
    exit 1
fi
