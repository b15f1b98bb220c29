#!/usr/bin/env bash
# The Windows suite under Wine: the cross-built unit tests, our settings
# reader against Wine's GetPrivateProfileStringA, the Windows backends against
# the fault server, and the end-to-end runs of velloran-update-test.exe on an
# Xvfb display.
#
#   tests/windows/run.sh [BUILD_DIR]     (default build/windows, already built)
#
# The minimise run needs tests/gui's mini_wm from the Linux test build:
# BUILD_DIR/../linux-test/tests/gui/mini_wm, or $VELLORAN_MINI_WM.
#
# The Wine prefix lives in BUILD_DIR/wineprefix and is made once. Everything
# this script starts (Xvfb, servers, Wine) is ended when it exits. Prints one
# line per step and closes with "N passed, N failed"; exits non-zero when a
# step failed.
set -uo pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$src/build/windows}" && pwd)
tests="$build/tests"

export WINEPREFIX="$build/wineprefix" WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko install prompts in the new prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Every request goes straight to 127.0.0.1.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export no_proxy="127.0.0.1,localhost" NO_PROXY="127.0.0.1,localhost"

work=$(mktemp -d "${TMPDIR:-/tmp}/velloran-wine.XXXXXX")
pids=()
cleanup() {
    wineserver -k 2>/dev/null
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
step() {  # step NAME COMMAND...: runs one step and counts it
    local name=$1
    shift
    echo "== $name"
    if "$@"; then
        echo "-- $name: passed"
        passed=$((passed + 1))
    else
        echo "-- $name: FAILED"
        failed=$((failed + 1))
    fi
}

for program in "$tests/unit_tests.exe" "$tests/windows/profile_compare.exe" \
    "$tests/windows/win_platform_tests.exe" "$tests/windows/marker.exe" "$tests/windows/crash_driver.exe" \
    "$tests/windows/trust_ca.exe" \
    "$tests/windows/velloran-update-test.exe" "$tests/windows/velloran-update-signed-test.exe"; do
    if [ ! -f "$program" ]; then
        echo "missing $program: build the windows preset first" >&2
        exit 1
    fi
done

# ---- Wine prefix and display
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== making the Wine prefix (once)"
    wineboot --init >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
fi
# Wine's own Tahoma (Debian's fonts-wine), which a new prefix does not find:
# without it "Tahoma" gives DejaVu Sans and the window is tested in a face it
# never has on Windows. Copied into the prefix's Fonts folder and registered.
tahoma_dir=""
for dir in /usr/share/wine/fonts /usr/share/fonts/truetype/wine /usr/lib/wine/fonts; do
    [ -f "$dir/tahoma.ttf" ] && { tahoma_dir=$dir; break; }
done
if [ -z "$tahoma_dir" ]; then
    echo "Wine's tahoma.ttf not found (apt-get install fonts-wine)" >&2
    exit 1
fi
fonts="$WINEPREFIX/drive_c/windows/Fonts"
if ! cmp -s "$tahoma_dir/tahoma.ttf" "$fonts/tahoma.ttf" || ! cmp -s "$tahoma_dir/tahomabd.ttf" "$fonts/tahomabd.ttf"; then
    echo "== installing Tahoma in the Wine prefix"
    mkdir -p "$fonts"
    cp "$tahoma_dir/tahoma.ttf" "$tahoma_dir/tahomabd.ttf" "$fonts/"
    key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\Fonts'
    wine reg add "$key" /v "Tahoma (TrueType)" /t REG_SZ /d tahoma.ttf /f >/dev/null 2>&1
    wine reg add "$key" /v "Tahoma Bold (TrueType)" /t REG_SZ /d tahomabd.ttf /f >/dev/null 2>&1
fi
wineserver -w

display=90
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=":$display"
for _ in $(seq 50); do
    xdpyinfo >/dev/null 2>&1 && break
    [ -e "/tmp/.X11-unix/X$display" ] && break
    sleep 0.1
done

# ---- Unit tests and the settings reader against Wine's
step "unit tests (unit_tests.exe)" wine "$tests/unit_tests.exe" --gtest_brief=1
step "settings reader against GetPrivateProfileStringA" wine "$tests/windows/profile_compare.exe" --gtest_brief=1

# ---- Windows backends against the fault server
fault="$work/fault"
mkdir -p "$fault/root"
echo '{}' >"$fault/faults.json"
: >"$fault/log"
python3 "$src/tests/integration/fault_server.py" --root "$fault/root" --faults "$fault/faults.json" \
    --log "$fault/log" --port 0 >"$fault/out" 2>"$fault/err" &
pids+=($!)
for _ in $(seq 100); do grep -q '^PORT ' "$fault/out" && break; sleep 0.1; done
if grep -q '^PORT ' "$fault/out"; then
    VELLORAN_FAULT_PORT=$(awk '/^PORT /{print $2; exit}' "$fault/out")
    VELLORAN_FAULT_ROOT=$(winepath -w "$fault/root")
    VELLORAN_FAULT_FILE=$(winepath -w "$fault/faults.json")
    VELLORAN_FAULT_LOG=$(winepath -w "$fault/log")
    VELLORAN_MARKER_EXE=$(winepath -w "$tests/windows/marker.exe")
    export VELLORAN_FAULT_PORT VELLORAN_FAULT_ROOT VELLORAN_FAULT_FILE VELLORAN_FAULT_LOG VELLORAN_MARKER_EXE
    step "Windows backends (win_platform_tests.exe)" wine "$tests/windows/win_platform_tests.exe" --gtest_brief=1
else
    echo "fault server did not start:"; cat "$fault/err"
    failed=$((failed + 1))
fi

# ---- https: a trusted and an untrusted authority, and no way back to http.
step "https under Wine" python3 "$src/tests/windows/https_wine.py" --build "$build"

# ---- Crash safety: the engine over the Windows backends, stopped after each
# file operation and killed at random moments.
# The kills must hit the program, not a server that the killed process was
# just starting: one server stays up, outside every killed process group,
# for the whole step (and is ended after it, for the steps that wait for
# the server to end).
wineserver -k 2>/dev/null
wineserver -p
step "crash safety under Wine" python3 "$src/tests/windows/crash_wine.py" --build "$build"
wineserver -k 2>/dev/null

# ---- Broken downloads: resumed where they stopped, tried again when the
# failure passes, over WinHTTP and the Windows file service.
step "broken downloads under Wine" python3 "$src/tests/windows/network_wine.py" --build "$build"

# ---- End to end: the shared scenarios and the Windows-only runs, each on
# its own Xvfb, against nginx on 127.0.0.1. Minimising is seen through
# tests/gui's mini_wm, a Linux program: scripts/test builds linux-test first.
mini_wm=${VELLORAN_MINI_WM:-$(dirname "$build")/linux-test/tests/gui/mini_wm}
step "end-to-end runs under Wine" python3 "$src/tests/windows/wine_e2e.py" --build "$build" --mini-wm "$mini_wm"

# ---- The user's proxy settings (a named proxy, a configuration script) with
# a tinyproxy of its own between the program and nginx; the prefix's settings
# are put back afterwards.
step "proxy settings under Wine" python3 "$src/tests/windows/proxy_wine.py" --build "$build"

# ---- A signed site: the program built with two publisher keys, CNG checking
# what the openssl command signed.
step "signed site under Wine" python3 "$src/tests/gui/signed_program_test.py" \
    --program "$tests/windows/velloran-update-signed-test.exe" --keys "$tests/windows/publisher-keys" \
    --port 18471 --runner wine --timeout-scale 3

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
