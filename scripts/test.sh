#!/usr/bin/env bash
# Builds everything and runs every test twice: in a normal build and in an AddressSanitizer +
# UndefinedBehaviorSanitizer build. Installs missing Debian packages first.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/setup-deps.sh

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$top/scripts/lsan.supp}

# ccache keeps objects between runs and between work trees at the same depth (relative paths).
launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$top")}
  export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

run() {
  local name=$1; shift
  local dir=$top/build/$name
  echo "=== $name build"
  cmake -S "$top" -B "$dir" -G Ninja -DTUNARA_WERROR=ON "${launcher[@]}" "$@"
  cmake --build "$dir"
  echo "=== $name tests"
  ctest --test-dir "$dir" --output-on-failure -j 2 --timeout 600
}

run normal -DCMAKE_BUILD_TYPE=RelWithDebInfo
run sanitize -DCMAKE_BUILD_TYPE=Debug -DTUNARA_SANITIZE=ON -DTUNARA_BUILD_BENCH=OFF
