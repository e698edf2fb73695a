#!/usr/bin/env bash
# Salvage of a stored archive of 10,000 files (about 150 MB) next to `unzip -tq` on the same
# archive, in the same run. usage: bench/engine/stored_archive_bench.sh [build dir]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build/release}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
python3 - "$work/stored.zip" <<'PY'
import random, sys, zipfile
random.seed(7)
words = [b"salvage ", b"archive ", b"entry ", b"header ", b"data ", b"zip ", b"window\n"]
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_STORED) as z:
    for index in range(10000):
        size = random.randint(1000, 29000)
        if index % 3 == 0:
            body = random.randbytes(size)
        else:
            body = b"".join(random.choice(words) for _ in range(size // 6))
        z.writestr(f"folder{index % 50}/file{index}.dat", body)
PY
ls -l "$work/stored.zip" | awk '{printf "archive: %.1f MB\n", $5 / 1e6}'
cat "$work/stored.zip" > /dev/null
time_of() { local start end; start=$(date +%s.%N); "$@" > /dev/null 2>&1 || true; end=$(date +%s.%N); echo "$end - $start" | bc; }
for round in 1 2 3; do
  salvage=$(time_of "$build/shell/console/zipsalvage" -y -o "$work/out.zip" "$work/stored.zip")
  unzip_t=$(time_of unzip -tq "$work/stored.zip")
  echo "round $round: zipsalvage ${salvage}s   unzip -tq ${unzip_t}s"
done
