#!/usr/bin/env bash
# Builds the fuzz targets with clang, the whole tree instrumented for coverage, ASan and UBSan,
# and runs each for a bounded time, outside the normal test run. New inputs go to a scratch
# corpus seeded from the kept one in the source tree; crashes, leaks and undefined behaviour are
# written to build/fuzz/artifacts and fail the script. Each target's executions are printed and
# added up in build/fuzz/execs.tsv, so that runs spread over several sittings can be summed.
#   scripts/fuzz.sh [TARGET...]   default: every target
#   FUZZ_SECONDS  seconds per target (default 60)
#   FUZZ_JOBS     build parallelism (default 2)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-60}
dir=$top/build/fuzz

# target, kept corpus, largest input
targets=(
  "check_header tests/media/fuzz/corpus/check_header 16384"
  "mpeg_info tests/media/fuzz/corpus/mpeg_info 16384"
  "tag_load tests/media/fuzz/corpus/tag_load 16384"
  "mp3_level tests/media/fuzz/corpus/mp3_level 16384"
  "audio_decode tests/media/fuzz/corpus/audio_decode 65536"
  "usbip_wire tests/devlink/fuzz/corpus/usbip_wire 1024"
  "table_decode tests/devlink/fuzz/corpus/table_decode 49200"
  "player_replies tests/devlink/fuzz/corpus/player_replies 4096"
  "vplayer_command tests/vplayer/fuzz/corpus/command 4096"
  "vplayer_fat_volume tests/vplayer/fuzz/corpus/fat_volume 65536"
)
wanted=("$@")
selected() {
  [ ${#wanted[@]} -eq 0 ] && return 0
  local w
  for w in "${wanted[@]}"; do [ "$w" = "$1" ] && return 0; done
  return 1
}

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
CC=clang CXX=clang++ cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DTUNARA_BUILD_FUZZ=ON -DTUNARA_BUILD_GUI=OFF -DTUNARA_BUILD_BENCH=OFF >/dev/null
build=()
for entry in "${targets[@]}"; do
  read -r name _ _ <<<"$entry"
  selected "$name" && build+=("fuzz_$name")
done
[ ${#build[@]} -gt 0 ] || { echo "no such target: $*" >&2; exit 2; }
cmake --build "$dir" -j "${FUZZ_JOBS:-2}" --target "${build[@]}"

# Allocation stacks are not recorded: unwinding through the uninstrumented TagLib stores a new
# stack for nearly every allocation, which grows without end and takes most of the time. To see
# them, run the target on the artifact alone with ASAN_OPTIONS unset.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:malloc_context_size=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$dir/artifacts"
status=0
for entry in "${targets[@]}"; do
  read -r name corpus maxlen <<<"$entry"
  selected "$name" || continue
  work=$dir/corpus/$name
  mkdir -p "$work"
  cp -n "$top/$corpus/"* "$work/" 2>/dev/null || true
  log=$dir/$name.log
  echo "=== fuzz_$name for ${seconds}s"
  if ! "$dir/bin/fuzz_$name" -max_total_time="$seconds" -max_len="$maxlen" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/artifacts/${name}-" \
      "$work" >"$log" 2>&1; then
    status=1
    echo "fuzz_$name FOUND A CRASH (see $log and $dir/artifacts)"
  fi
  runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$' || echo 0)
  printf '%s\t%s\n' "$name" "$runs" >>"$dir/execs.tsv"
  total=$(awk -F'\t' -v n="$name" '$1 == n { s += $2 } END { print s + 0 }' "$dir/execs.tsv")
  echo "fuzz_$name: $runs executions ($total in all runs), corpus $(ls "$work" | wc -l) inputs"
done
exit $status
