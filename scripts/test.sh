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
  # Sources compiled against a precompiled header are cached only with these.
  export CCACHE_SLOPPINESS=${CCACHE_SLOPPINESS:-pch_defines,time_macros,include_file_mtime,include_file_ctime}
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

jobs=$(( $(nproc) * 3 ))

run() {
  local name=$1; shift
  local dir=$top/build/$name
  echo "=== $name build"
  cmake -S "$top" -B "$dir" -G Ninja -DTUNARA_WERROR=ON "${launcher[@]}" "$@"
  cmake --build "$dir"
  echo "=== $name tests"
  # Most tests wait on the virtual player or on a peer program more than they compute: three
  # at a time a core keep the cores busy.
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
}

run normal -DCMAKE_BUILD_TYPE=RelWithDebInfo
run sanitize -DCMAKE_BUILD_TYPE=Debug -DTUNARA_SANITIZE=ON -DTUNARA_BUILD_BENCH=OFF
