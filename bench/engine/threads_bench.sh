#!/usr/bin/env bash
# Encoder threads: the same salvage of an intact archive with --threads 1 and --threads N,
# alternated so that both meet the same machine, best of ROUNDS wall times each; prints the
# speed-up, the peak memory (maximum resident set) of each, and checks that both outputs are
# the same bytes.
#
# usage: bench/engine/threads_bench.sh ZIPSALVAGE_BINARY [THREADS] [ROUNDS] [ARCHIVE]
#   THREADS defaults to the number of processors, ROUNDS to 3; without ARCHIVE, one is made of
#   /usr/include and /usr/share/doc with zip -r -6.
set -euo pipefail
binary="$(realpath "$1")"
threads="${2:-$(nproc)}"
rounds="${3:-3}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
archive="${4:-}"
if [ -z "$archive" ]; then
    archive="$work/corpus.zip"
    (cd / && zip -q -r -6 "$archive" usr/include usr/share/doc)
fi
echo "archive: $(stat -c %s "$archive") bytes, $(unzip -Z1 "$archive" | wc -l) entries"

# Runs one salvage; prints "wall peak-kB".
timed() {
    /usr/bin/time -f '%e %M' -o "$work/time" "$binary" -q -y --threads "$1" \
        -o "$work/out$1.zip" "$archive" >/dev/null 2>&1 || true
    cat "$work/time"
}

best() { sort -n | head -1; }
for _ in $(seq "$rounds"); do
    timed 1 >>"$work/one"
    timed "$threads" >>"$work/many"
done
oneWall="$(cut -d' ' -f1 "$work/one" | best)"
manyWall="$(cut -d' ' -f1 "$work/many" | best)"
oneMemory="$(cut -d' ' -f2 "$work/one" | sort -n | tail -1)"
manyMemory="$(cut -d' ' -f2 "$work/many" | sort -n | tail -1)"
printf -- '--threads 1:  wall %6.2f s  peak %7d kB\n' "$oneWall" "$oneMemory"
printf -- '--threads %d:  wall %6.2f s  peak %7d kB\n' "$threads" "$manyWall" "$manyMemory"
printf 'speed-up: %.2fx\n' "$(echo "$oneWall / $manyWall" | bc -l)"
if cmp -s "$work/out1.zip" "$work/out$threads.zip"; then
    echo "outputs: the same bytes"
else
    echo "outputs: DIFFER"
    exit 1
fi
