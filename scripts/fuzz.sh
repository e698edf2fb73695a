#!/usr/bin/env bash
# Runs fuzz campaigns, one target after another at the lowest priority, and prints one line per
# target for fuzz/CAMPAIGNS.md. Corpora grow under build/fuzz-corpus/ (seeded from
# fuzz/regressions/); inputs that fail land in build/fuzz-artifacts/<target>/.
#
#   scripts/fuzz.sh [-t SECONDS_PER_TARGET] [-r RUNS_PER_TARGET] [TARGET...]
#
# Targets: whole_run inflate explode unshrink unreduce huff_tables entry_bytes (default: all).
# Local runs may add the shared real archives to the whole-run corpus with -s (never committed).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
seconds=600
runs=""
shared=0
while getopts "t:r:s" option; do
  case "$option" in
    t) seconds="$OPTARG" ;;
    r) runs="$OPTARG" ;;
    s) shared=1 ;;
    *) echo "usage: $0 [-t SECONDS] [-r RUNS] [-s] [TARGET...]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(whole_run inflate explode unshrink unreduce huff_tables entry_bytes)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 1 >/dev/null
# The whole-run target writes files per input: a memory-backed folder keeps that cheap.
scratch="${TMPDIR:-/tmp}"
[ -d /dev/shm ] && [ -w /dev/shm ] && scratch=/dev/shm

for target in "${targets[@]}"; do
  corpus="build/fuzz-corpus/$target"
  artifacts="build/fuzz-artifacts/$target/"
  mkdir -p "$corpus" "$artifacts"
  extra=()
  if [ "$shared" = 1 ] && [ "$target" = whole_run ] && [ -d ../shared/testdata ]; then
    mkdir -p build/fuzz-corpus/shared
    find ../shared/testdata -type f -iname '*.zip' -size -2M -exec cp -n {} build/fuzz-corpus/shared/ \;
    extra+=(build/fuzz-corpus/shared)
  fi
  limit=(-max_total_time="$seconds")
  limit_shown="-t $seconds"
  if [ -n "$runs" ]; then
    limit=(-runs="$runs")
    limit_shown="-r $runs"
  fi
  log="build/fuzz-artifacts/$target.log"
  status=0
  TMPDIR="$scratch" nice -n 19 "build/fuzz/fuzz/fuzz_$target" "${limit[@]}" -timeout=30 \
    -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 -artifact_prefix="$artifacts" \
    "$corpus" fuzz/regressions/"$target" "${extra[@]}" >"$log" 2>&1 || status=$?
  executed="$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}' | tail -1)"
  echo "| $target | ${executed:-?} | $(date -u +%Y-%m-%d) | scripts/fuzz.sh $limit_shown $target | $([ $status = 0 ] && echo clean || echo "FAILED, see $log") |"
done
