#!/usr/bin/env bash
# Sets up, builds and runs zipsalvage on the archive given (or on the damaged demo archive).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
cmake --preset release -S "$root" >/dev/null
cmake --build "$root/build/release" --target zipsalvage >/dev/null
if [ $# -eq 0 ]; then
  work="$(mktemp -d)"
  cp "$root/examples/damaged-demo.zip" "$work/"
  echo "(no archive given: salvaging the demo archive, a copy in $work)"
  set -- "$work/damaged-demo.zip"
fi
exec "$root/build/release/shell/console/zipsalvage" "$@"
