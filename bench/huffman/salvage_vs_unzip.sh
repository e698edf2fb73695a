#!/usr/bin/env bash
# Times a salvage of a `zip -6` archive of a ~100 MB corpus from the machine (headers, text,
# binaries, already-compressed files) next to `unzip -tq` on the same archive, which decodes and
# checks CRC-32 only. Usage: salvage_vs_unzip.sh [path/to/zipsalvage]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
binary="${1:-$root/build/release/shell/console/zipsalvage}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Up to a quota of files per kind, 1 KiB to 8 MiB each, in path order.
pick() {  # quota_bytes find-arguments...
  local quota=$1; shift
  find "$@" -type f -size +1k -size -8M -printf '%s %p\n' 2>/dev/null | LC_ALL=C sort -k2 |
    awk -v quota="$quota" 'total < quota { total += $1; sub(/^[0-9]+ /, ""); print }'
}
{
  pick 35000000 /usr/include -name '*.h'
  pick 15000000 /usr/share/doc /usr/share/common-licenses -not -name '*.gz'
  pick 40000000 /usr/bin /usr/lib/x86_64-linux-gnu
  pick 15000000 /usr/share/doc /usr/share/man -name '*.gz'
} > "$work/files.txt"
zip -q -6 "$work/corpus.zip" -@ < "$work/files.txt" 2>/dev/null || true
printf 'archive: %s files, %s bytes (%s bytes uncompressed)\n' "$(wc -l < "$work/files.txt")" \
  "$(stat -c %s "$work/corpus.zip")" \
  "$(unzip -l "$work/corpus.zip" | tail -1 | awk '{print $1}')"

best() {  # runs a command 3 times, prints the best wall time in seconds
  local best=
  for _ in 1 2 3; do
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    end=$(date +%s.%N)
    best=$(echo "$start $end ${best:-999999}" | awk '{ t = $2 - $1; print (t < $3 ? t : $3) }')
  done
  echo "$best"
}
unzip_time=$(best unzip -tq "$work/corpus.zip")
salvage_time=$(best "$binary" -y -o "$work/Salvaged.zip" "$work/corpus.zip")
echo "unzip -tq:        ${unzip_time} s"
echo "zipsalvage (all): ${salvage_time} s   (extraction, temporary files and re-encoding)"
