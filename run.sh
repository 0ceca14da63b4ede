#!/usr/bin/env bash
# Builds the panel and opens it. With no hardware attached, a simulated driver
# (serial sim1, name CFG01) is started in the background and left running;
# `build/bin/zenta-sim ctl sim1 quit` ends it.
set -euo pipefail
cd "$(dirname "$0")"
. scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

if [ -x build/bin/zenta-sim ]; then
  data="${XDG_DATA_HOME:-$HOME/.local/share}/zenta-sim"
  mkdir -p "$data"
  stop="stop it with: build/bin/zenta-sim ctl sim1 quit"
  if build/bin/zenta-sim ctl sim1 state >/dev/null 2>&1; then
    echo "Simulated driver sim1 is already running; $stop"
  else
    nohup build/bin/zenta-sim --serial sim1 --name CFG01 --flash "$data/sim1.flash" \
      >"$data/sim1.log" 2>&1 &
    # Wait for its ready line so the panel finds it on the first listing.
    if wait_for_simulator $! "$data/sim1.log"; then
      echo "Started simulated driver sim1 (CFG01) in the background, log $data/sim1.log; $stop"
    else
      echo "The simulated driver sim1 did not start; see $data/sim1.log" >&2
    fi
  fi
fi

exec build/bin/zenta-panel
