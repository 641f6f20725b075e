#!/usr/bin/env bash
# Builds the media fuzz targets with clang and runs each for a bounded time, outside the normal
# test run. New inputs go to a scratch corpus seeded from the kept one in tests/media/fuzz/corpus;
# crashes are written to build/fuzz-media/artifacts and fail the script.
#   FUZZ_SECONDS  seconds per target (default 60)
#   FUZZ_JOBS     build parallelism (default 2)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-60}
dir=$top/build/fuzz-media

CC=clang CXX=clang++ cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTUNARA_BUILD_FUZZ=ON -DTUNARA_BUILD_GUI=OFF -DTUNARA_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "${FUZZ_JOBS:-2}" --target fuzz_check_header fuzz_mpeg_info fuzz_tag_load

mkdir -p "$dir/artifacts"
status=0
for target in check_header mpeg_info tag_load; do
  work=$dir/corpus/$target
  mkdir -p "$work"
  cp -n "$top/tests/media/fuzz/corpus/$target/"* "$work/" 2>/dev/null || true
  log=$dir/$target.log
  echo "=== fuzz_$target for ${seconds}s"
  if ! "$dir/bin/fuzz_$target" -max_total_time="$seconds" -max_len=16384 -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/artifacts/${target}-" \
      "$work" >"$log" 2>&1; then
    status=1
    echo "fuzz_$target FOUND A CRASH (see $log and $dir/artifacts)"
  fi
  runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$' || echo '?')
  echo "fuzz_$target: $runs executions, corpus $(ls "$work" | wc -l) inputs"
done
exit $status
