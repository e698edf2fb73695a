#!/usr/bin/env bash
# Streamed entries against ordinary ones, in the same run:
#  1. the same 1,500 files (about 60 MB: text, random and repetitive data) written by zip to a
#     file and by zip to a pipe (flag bit 3, data descriptors), deflated and stored (-0); each
#     archive salvaged three times, best time kept, and the streamed/ordinary ratio printed;
#  2. the forward search that ends a stored streamed entry: one entry of 125, 250 and 500 MB
#     (zeros, written sparse), and one of 125 MB made of nothing but descriptor signatures (a
#     candidate every four bytes); seconds per 100 MB should stay flat.
# usage: bench/engine/streamed_archive_bench.sh [build dir]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build/release}"
program="$build/shell/console/zipsalvage"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

python3 - "$work/tree" <<'PY'
import os, random, sys
random.seed(11)
words = [b"salvage ", b"archive ", b"entry ", b"header ", b"data ", b"zip ", b"window\n"]
for index in range(1500):
    folder = os.path.join(sys.argv[1], "folder%d" % (index % 30))
    os.makedirs(folder, exist_ok=True)
    size = random.randint(2000, 80000)
    kind = index % 3
    if kind == 0:
        body = random.randbytes(size)
    elif kind == 1:
        body = b"".join(random.choice(words) for _ in range(size // 6))
    else:
        body = bytes([index % 251]) * size
    with open(os.path.join(folder, "file%d.dat" % index), "wb") as handle:
        handle.write(body)
PY
(cd "$work" && zip -q -r ordinary.zip tree && zip -q -r - tree | cat > streamed.zip &&
 zip -q -0 -r ordinary0.zip tree && zip -q -0 -r - tree | cat > streamed0.zip)
du -sm "$work/tree" | awk '{printf "files: %d MB\n", $1}'

best_of_three() {
  local best="" start end took
  for round in 1 2 3; do
    start=$(date +%s.%N)
    "$program" -y -o "$work/out.zip" "$1" > /dev/null 2>&1 || true
    end=$(date +%s.%N)
    took=$(echo "$end - $start" | bc)
    if [ -z "$best" ] || [ "$(echo "$took < $best" | bc)" = 1 ]; then best=$took; fi
  done
  echo "$best"
}
for pair in "ordinary.zip streamed.zip deflated" "ordinary0.zip streamed0.zip stored"; do
  set -- $pair
  cat "$work/$1" "$work/$2" > /dev/null
  plain=$(best_of_three "$work/$1")
  streamed=$(best_of_three "$work/$2")
  printf "%s: ordinary %.2fs  streamed %.2fs  ratio %.3f\n" "$3" "$plain" "$streamed" \
    "$(echo "$streamed / $plain" | bc -l)"
done

# One stored streamed entry: local header with flag bit 3, `size` bytes of data, descriptor.
make_entry() {
  python3 - "$1" "$2" "$3" <<'PY'
import os, struct, sys, zlib
path, size, kind = sys.argv[1], int(sys.argv[2]), sys.argv[3]
name = b"big.bin"
chunk = b"\0" * (1 << 20) if kind == "zeros" else b"PK\x07\x08" * (1 << 18)
crc = 0
with open(path, "wb") as out:
    out.write(struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 8, 0, 0, 0x5987, 0, 0, 0, len(name), 0))
    out.write(name)
    for _ in range(size >> 20):
        crc = zlib.crc32(chunk, crc)
        if kind != "zeros":
            out.write(chunk)
    if kind == "zeros":
        out.truncate(out.tell() + size)  # sparse: the disk is not what is measured
        out.seek(0, os.SEEK_END)
    out.write(struct.pack("<IIII", 0x08074B50, crc, size, size))
PY
}
for spec in "125 zeros" "250 zeros" "500 zeros" "125 signatures"; do
  set -- $spec
  make_entry "$work/big.zip" $(($1 << 20)) "$2"
  start=$(date +%s.%N)
  "$program" -y -o "$work/out.zip" "$work/big.zip" | grep -E "big.bin" || true
  end=$(date +%s.%N)
  printf "stored streamed entry, %s MB of %s: %.2fs (%.3fs per 100 MB)\n" "$1" "$2" \
    "$(echo "$end - $start" | bc)" "$(echo "($end - $start) * 100 / $1" | bc -l)"
  rm -f "$work/big.zip" "$work/out.zip"
done
