#!/usr/bin/env bash
# The long soak: random library operations against the virtual player under random faults,
# every step judged by mtools and fsck.fat (see tests/soak/test_soak.cpp). Not part of CI; the
# tests run a short form of it. The same seed gives the same run.
#   scripts/soak.sh [SEED [OPERATIONS]]     defaults: seed 1, 1000 operations
#   SOAK_BUILD   the build folder (default build/normal)
#   SOAK_VERBOSE set to print every step
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${SOAK_BUILD:-$top/build/normal}
seed=${1:-1}
ops=${2:-1000}
if [ ! -d "$build" ]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j "${SOAK_JOBS:-2}" --target soak_test tunara-vplayer
echo "=== soak: seed $seed, $ops operations"
SOAK_SEED=$seed SOAK_OPS=$ops "$build/bin/soak_test" --gtest_color=no
