#!/usr/bin/env bash
# Builds Tunara, starts the virtual player with a demo state and shows it through the program.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/setup-deps.sh
# A build folder of its own with only what runs here: the library, the program with its
# language packs, the virtual player and kesto. The test command (scripts/test.sh) builds the
# rest in its own folder.
dir=$top/build/run
cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUNARA_BUILD_BENCH=OFF \
      -DTUNARA_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" --target KestoUSB tunara tunara_lang tunara-vplayer kesto
bin=$dir/bin

state=${TUNARA_DEMO_STATE:-$top/build/demo-state}
[ -f "$state/player.ini" ] || bash scripts/make-demo-state.sh "$state"

port=${TUNARA_DEMO_PORT:-3240}
"$bin/tunara-vplayer" --state "$state" --listen "127.0.0.1:$port" &
vplayer=$!
trap 'kill $vplayer 2>/dev/null || true' EXIT
export KESTOUSB_USBIP="127.0.0.1:$port"
for _ in $(seq 50); do "$bin/tunara-vplayer" ctl --state "$state" status >/dev/null 2>&1 && break; sleep 0.1; done

# The program, connected to the virtual player. Without a display it runs under Xvfb and saves
# a picture of its window to build/run/tunara.png instead.
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  "$bin/tunara"
elif command -v xvfb-run >/dev/null; then
  echo "No display: running under Xvfb; the window is saved to $dir/tunara.png"
  TUNARA_GRAB="$dir/tunara.png" xvfb-run -a -s "-screen 0 1280x800x24" "$bin/tunara"
else
  echo "No display and no xvfb-run: cannot show the window" >&2
  exit 1
fi
