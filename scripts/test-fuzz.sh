#!/usr/bin/env bash
# What CI runs for fuzzing: builds the libFuzzer targets with clang (ASan + UBSan), replays the
# regression corpus through each, then fuzzes each target for a fixed number of runs. Bounded
# to a few minutes; exits non-zero when any input fails. (The same corpus is also replayed by
# the ordinary test suites, as fuzz_replay_tests.)
#
#   scripts/test-fuzz.sh [RUNS_PER_TARGET]     (default 50000; the whole run gets a tenth)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
runs="${1:-50000}"

SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
install() {
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$@" >/dev/null
}
command -v clang++ >/dev/null || install clang
# libFuzzer comes with clang's runtime libraries, packaged per clang version.
if ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  major="$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -1)"
  install "libclang-rt-$major-dev"
fi
scripts/install-deps.sh

echo "== fuzz build"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

scratch="$(mktemp -d "${TMPDIR:-/tmp}/zipsalvage-ci-fuzz-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
[ -d /dev/shm ] && [ -w /dev/shm ] && export TMPDIR=/dev/shm
failed=0
kept=()  # the failing inputs
for target in whole_run inflate explode unshrink unreduce huff_tables entry_bytes generated_stream inflate_resync \
              text_transfer bzip2 lzma zstd; do
  binary="build/fuzz/fuzz/fuzz_$target"
  corpus="fuzz/regressions/$target"
  target_runs="$runs"
  # These run the most code per input.
  [ "$target" = whole_run ] || [ "$target" = generated_stream ] || [ "$target" = text_transfer ] \
    && target_runs=$((runs / 5))
  # The search behind damage decodes each generated stream many times (about ten inputs a
  # second): a fifth of its runs would take over an hour.
  [ "$target" = inflate_resync ] && target_runs=$((runs / 25))
  # Each damaged deflated entry in a whole run now pays for the searches behind its damage
  # (about five inputs a second under the sanitizers): a fifth took half an hour of CI's 80
  # minutes, near its 90-minute limit.
  [ "$target" = whole_run ] && target_runs=$((runs / 10))
  echo "== $target: replay $(ls "$corpus" | wc -l) inputs, then $target_runs runs"
  if ! "$binary" -runs=0 "$corpus" >"$scratch/$target-replay.log" 2>&1; then
    echo "FAILED: replaying $corpus"; tail -30 "$scratch/$target-replay.log"; failed=1; continue
  fi
  mkdir -p "$scratch/$target"
  # The regression corpus seeds a throwaway corpus, so the run never writes into the repository.
  if ! "$binary" -runs="$target_runs" -seed=1 -timeout=20 -max_len=16384 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$scratch/$target-" "$scratch/$target" "$corpus" \
      >"$scratch/$target-fuzz.log" 2>&1; then
    echo "FAILED: fuzzing $target; the failing input:"; ls "$scratch"/"$target"-crash-* "$scratch"/"$target"-timeout-* 2>/dev/null || true
    tail -40 "$scratch/$target-fuzz.log"
    for input in "$scratch"/"$target"-crash-* "$scratch"/"$target"-timeout-* "$scratch"/"$target"-oom-*; do
      [ -f "$input" ] && kept+=("$input")
    done
    mkdir -p build/fuzz-artifacts && cp "$scratch"/"$target"-* build/fuzz-artifacts/ 2>/dev/null || true
    failed=1
    continue
  fi
  grep -E "stat::number_of_executed_units|stat::average_exec_per_sec" "$scratch/$target-fuzz.log" | tr '\n' ' '; echo
done
# The scratch folder goes with the machine: the inputs themselves, last, where a shortened log
# still shows them, one line each, to be replayed elsewhere (`base64 -d`).
for input in "${kept[@]}"; do
  echo "== base64 of $(basename "$input"):"; base64 -w 0 "$input"; echo
done
[ "$failed" = 0 ] && echo "== fuzzing passed" || echo "== fuzzing FAILED (inputs kept in build/fuzz-artifacts/)"
exit "$failed"
