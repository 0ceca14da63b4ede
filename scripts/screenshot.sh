#!/usr/bin/env bash
# Makes docs/main-window.png, the README's picture of the main window during a
# move, against a simulated driver under Xvfb. Run it again when the window
# changes.
#
#   scripts/screenshot.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages xvfb xauth
build=${1:-build}
target=docs/main-window.png
part=$target.part

cmake --build "$build" --target panel_screenshot zenta-sim TollanCom >/dev/null

work=$(mktemp -d)
export TOLLANCOM_DIR=$work/devices
sim=
cleanup() {
    if [ -n "$sim" ]; then
        "$build/bin/zenta-sim" ctl sim1 quit >/dev/null 2>&1 || kill "$sim" 2>/dev/null || true
        wait "$sim" 2>/dev/null || true
    fi
    rm -rf "$work" "$part"
}
trap cleanup EXIT

"$build/bin/zenta-sim" --serial sim1 --name CFG01 >"$work/sim.log" 2>&1 &
sim=$!
wait_for_simulator "$sim" "$work/sim.log" || { cat "$work/sim.log" >&2; exit 1; }

xvfb-run -a -s "-screen 0 1600x1200x24" "$build/tests/panel_screenshot" "$build/bin" "$part" examples/back_and_forth.prg
sync "$part"
mv -f "$part" "$target"
echo "wrote $target"
