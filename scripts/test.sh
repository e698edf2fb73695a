#!/usr/bin/env bash
# Sets up, builds and runs every test: the check of the folders' dependencies, the suite twice
# (an optimised build and an AddressSanitizer + UndefinedBehaviorSanitizer build), the tests
# that run encoder threads under ThreadSanitizer, a link-time
# one-definition check, the fuzz targets' corpus replay and short runs, then the Windows
# program's builds and its tests under Wine.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/install-deps.sh
jobs="$(nproc)"
echo "== folder dependencies against the README's table"
python3 scripts/check-includes.py
for preset in release asan; do
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset tests"
  ctest --preset "$preset" -j "$jobs"
done

echo "== tsan build and the threaded tests"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs"

echo "== link-time check of the one-definition rule"
cmake --preset lto >/dev/null
cmake --build --preset lto -j "$jobs"

echo "== fuzz targets (clang, libFuzzer): corpus replay and a short fixed run of each"
bash scripts/test-fuzz.sh

echo "== Windows program (MinGW-w64 builds, tests under Wine)"
bash scripts/test-win32.sh
