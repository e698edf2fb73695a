#!/usr/bin/env bash
# Builds the Windows program (i686 and x86_64 with MinGW-w64) and tests the x86_64 build under
# Wine on a virtual X display: the window helpers in-process, then the real wizard end to end,
# driven from outside by tests/win32/wizard_driver. Screenshots land in build/win32-test/shots.
# Runs unattended as root; the last line reads "N passed, M failed".
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

passed=0
failed=0
note_pass() { passed=$((passed + 1)); echo "PASS $1"; }
note_fail() { failed=$((failed + 1)); echo "FAIL $1"; }
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
  exit $?
}

# --- tools --------------------------------------------------------------------------------
packages=(cmake ninja-build python3 zip unzip g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64
          fonts-wine xvfb xdotool imagemagick)
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "== installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! { apt-get update -q >/dev/null && apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null; }; then
    note_fail "installing ${missing[*]}"
    finish
  fi
fi
wine_loader="$(command -v wine || echo /usr/lib/wine/wine64)"
wine_server="$(command -v wineserver || echo /usr/lib/wine/wineserver64)"

# --- pictures and builds ------------------------------------------------------------------
pictures="$(mktemp -d)"
cp resources/make_pictures.py "$pictures/"
python3 "$pictures/make_pictures.py"
if cmp -s "$pictures/zipsalvage.ico" resources/zipsalvage.ico && cmp -s "$pictures/side.bmp" resources/side.bmp; then
  note_pass "resources/make_pictures.py reproduces the committed icon and side picture"
else
  note_fail "resources/make_pictures.py output differs from the committed pictures"
fi
rm -rf "$pictures"

for preset in mingw-x86 mingw-x64; do
  echo "== $preset build"
  if cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j 2; then
    note_pass "$preset build (warnings are errors)"
  else
    note_fail "$preset build"
  fi
done
build="$root/build/mingw-x64"
program="$build/shell/win32/zipsalvage.exe"
# Both programs carry the manifest: common controls 6 and per-monitor DPI awareness.
for exe in "$root/build/mingw-x86/shell/win32/zipsalvage.exe" "$program"; do
  if [ -f "$exe" ] && grep -aq 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' "$exe" &&
     grep -aq '>PerMonitorV2, PerMonitor<' "$exe"; then
    note_pass "${exe#"$root/build/"} carries the application manifest"
  else
    note_fail "${exe#"$root/build/"} lacks the application manifest"
  fi
done
[ -f "$program" ] || finish

# --- Wine on a virtual display ------------------------------------------------------------
work="$root/build/win32-test"
rm -rf "$work"
mkdir -p "$work/shots"
export WINEPREFIX="$work/wine-prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
# Wine reads Unix file names and arguments in the locale's character set: UTF-8, so folders
# named in any script reach the programs whole.
export LC_ALL=C.UTF-8
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
export DISPLAY=":$display"
Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
watcher_pid=""
cleanup() {
  "$wine_server" -k >/dev/null 2>&1 || true
  [ -n "$watcher_pid" ] && kill "$watcher_pid" 2>/dev/null
  kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
}
trap cleanup EXIT
sleep 1

echo "== starting Wine (the first start sets up its prefix)"
wine_start=$SECONDS
timeout 300 "$wine_loader" wineboot -i >"$work/wineboot.log" 2>&1
# A virtual desktop draws window frames without a window manager; no crash dialogs.
"$wine_loader" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
"$wine_loader" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
"$wine_loader" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
"$wine_server" -w
# One server for every test program, started here without the file-size limit that the
# write-failure case puts on its programs.
"$wine_server" -p
echo "   ready after $((SECONDS - wine_start)) s"

windows_path() { local path="$1"; echo "Z:${path//\//\\}"; }

# Takes a screenshot whenever the driver asks for one (a NAME.request file appears).
(
  while true; do
    for request in "$work"/shots/*.request; do
      [ -e "$request" ] || continue
      import -window root "${request%.request}.png" 2>/dev/null
      rm -f "$request"
    done
    sleep 0.2
  done
) &
watcher_pid=$!

# Runs a test program under Wine and counts its PASS and FAIL lines. With file_limit_kib set,
# the programs may write no file beyond that size (a full disk, as the program sees it).
file_limit_kib=""
run_cases() {
  local label="$1"; shift
  local log="$work/$label.log"
  if [ -n "$file_limit_kib" ]; then
    # SIGXFSZ ignored: the write then fails with EFBIG, which Wine reports as a failed write.
    (ulimit -f "$file_limit_kib"; trap '' XFSZ; exec timeout 180 "$wine_loader" "$@") >"$log" 2>&1
  else
    timeout 180 "$wine_loader" "$@" >"$log" 2>&1
  fi
  local status=$?
  grep -E '^(PASS|FAIL|    )' "$log" | tr -d '\r'
  passed=$((passed + $(grep -c '^PASS' "$log")))
  failed=$((failed + $(grep -c '^FAIL' "$log")))
  if [ "$status" -ne 0 ] && ! grep -q '^FAIL' "$log"; then
    note_fail "$label ended with status $status (see $log)"
  fi
}

echo "== window helpers"
run_cases helpers "$build/tests/win32/win32_shell_test.exe"

echo "== wizard"
fixture_facts="$(python3 tests/win32/make_fixtures.py "$work/fixtures")" || note_fail "making the test archives"
wrong_password="$(echo "$fixture_facts" | sed -n 1p)"
two_runs_entries="$(echo "$fixture_facts" | sed -n 2p)"
driver="$build/tests/win32/wizard_driver.exe"
shots="$(windows_path "$work/shots")"
exe="$(windows_path "$program")"
fixture() { windows_path "$work/fixtures/$1"; }

run_cases complete "$driver" complete "$exe" "$(fixture "complete run")" "$shots"
salvaged="$work/fixtures/complete run/Salvaged.zip"
if unzip -tq "$salvaged" >/dev/null 2>&1 && [ "$(unzip -Z1 "$salvaged" | head -n 2 | tr '\n' ' ')" = "one.txt two.txt " ] &&
   [ "$(unzip -Z1 "$salvaged" | wc -l)" -eq 3 ] &&
   [ "$(unzip -p "$salvaged" one.txt)" = "hello" ] && [ "$(unzip -p "$salvaged" two.txt | tail -n 1)" = "2000" ]; then
  note_pass "the wizard's Salvaged.zip passes unzip -t with its three entries, one.txt and two.txt intact"
else
  note_fail "the wizard's Salvaged.zip fails unzip -t or lacks its entries"
fi

run_cases first-page "$driver" first-page "$exe" "$(fixture "first page")" "$shots"
run_cases browse "$driver" browse "$exe" "$(fixture "first page")" "$shots"
run_cases log "$driver" log "$exe" "$(fixture "closed run")" "$shots"
if unzip -tq "$work/fixtures/closed run/Salvaged.zip" >/dev/null 2>&1; then
  note_pass "the Salvaged.zip kept after the close box is a valid archive"
else
  note_fail "the Salvaged.zip kept after the close box is missing or invalid"
fi
run_cases cancel "$driver" cancel "$exe" "$(fixture "cancel run")" "$shots"
run_cases password "$driver" password "$exe" "$(fixture "password run")" "$shots" "$wrong_password"
salvaged="$work/fixtures/password run/Salvaged.zip"
# The skipped entry is kept as it was, still encrypted, for its password later.
if [ "$(unzip -Z1 "$salvaged" | tr '\n' ' ')" = "a.txt b.txt c.txt " ] &&
   [ "$(unzip -p "$salvaged" b.txt)" = "bravo" ] &&
   python3 -c 'import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
sys.exit(0 if z.getinfo("c.txt").flag_bits & 1 and not z.getinfo("b.txt").flag_bits & 1 else 1)' "$salvaged"; then
  note_pass "decrypted entries land unencrypted in Salvaged.zip; the skipped one is kept encrypted"
else
  note_fail "Salvaged.zip of the encrypted archive is wrong"
fi

run_cases two-runs "$driver" two-runs "$exe" "$(fixture "two runs")" "$shots" "$two_runs_entries"
for salvaged in "$work/fixtures/two runs/one/Salvaged.zip" "$work/fixtures/two runs/two/Salvaged.zip"; do
  if unzip -tq "$salvaged" >/dev/null 2>&1 && [ "$(unzip -Z1 "$salvaged" | wc -l)" -eq "$two_runs_entries" ]; then
    note_pass "two runs at once: ${salvaged#"$work/fixtures/"} holds all $two_runs_entries entries"
  else
    note_fail "two runs at once: ${salvaged#"$work/fixtures/"} is invalid or lacks entries"
  fi
done

unicode_folder="$(ls -d "$work/fixtures/Gr"*)"
run_cases unicode "$driver" unicode "$exe" "$(windows_path "$unicode_folder")" "$shots"
salvaged="$unicode_folder/Salvaged.zip"
if unzip -tq "$salvaged" >/dev/null 2>&1 &&
   python3 -c 'import sys, zipfile; sys.exit(zipfile.ZipFile(sys.argv[1]).namelist() != ["\u041f\u0440\u0438\u0432\u0435\u0442.txt", "\u65e5\u672c\u8a9e/\u540d\u524d.txt"])' "$salvaged"; then
  note_pass "Salvaged.zip in the Cyrillic and CJK folder is valid and keeps its UTF-8 names"
else
  note_fail "Salvaged.zip in the Cyrillic and CJK folder is missing, invalid or has other names"
fi

long_folder="$(find "$work/fixtures/long path" -name good.zip -printf '%h')"
run_cases long-path "$driver" long-path "$exe" "$(windows_path "$long_folder")" "$shots"
if unzip -tq "$long_folder/Salvaged.zip" >/dev/null 2>&1; then
  note_pass "Salvaged.zip beside an archive path longer than MAX_PATH is valid"
else
  note_fail "Salvaged.zip beside the long-path archive is missing or invalid"
fi

run_cases password-escape "$driver" password-escape "$exe" "$(fixture "password escape")" "$shots"

run_cases long-password "$driver" long-password "$exe" "$(fixture "long password")" "$shots"

run_cases no-zip-data "$driver" no-zip-data "$exe" "$(fixture "no zip data")" "$shots"
if [ "$(ls -A "$work/fixtures/no zip data")" = "noise.zip" ]; then
  note_pass "an archive without Zip data leaves nothing beside it"
else
  note_fail "an archive without Zip data left: $(ls -A "$work/fixtures/no zip data" | tr '\n' ' ')"
fi

run_cases output-folder "$driver" output-folder "$exe" "$(fixture "output folder")" "$shots"
if unzip -tq "$work/fixtures/output folder/out/Salvaged.zip" >/dev/null 2>&1 &&
   [ "$(ls -A "$work/fixtures/output folder" | tr '\n' ' ')" = "good.zip out " ] &&
   [ "$(ls -A "$work/fixtures/output folder/out")" = "Salvaged.zip" ]; then
  note_pass "the chosen output folder holds a valid Salvaged.zip, and only it was written"
else
  note_fail "the chosen output folder lacks a valid Salvaged.zip, or more was written"
fi

# 144 DPI for this one program, as the display settings would set it; back to 96 after.
"$wine_loader" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
run_cases high-dpi "$driver" high-dpi "$exe" "$(fixture "high dpi")" "$shots"
"$wine_loader" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >/dev/null 2>&1

file_limit_kib=1024
run_cases write-failure "$driver" write-failure "$exe" "$(fixture "write failure")" "$shots"
file_limit_kib=""
if [ "$(ls -A "$work/fixtures/write failure")" = "big.zip" ]; then
  note_pass "a failed write leaves nothing beside the archive"
else
  note_fail "a failed write left: $(ls -A "$work/fixtures/write failure" | tr '\n' ' ')"
fi

echo "== screenshots in $work/shots"
ls "$work/shots" | grep '\.png$' | sed 's/^/   /'
finish
