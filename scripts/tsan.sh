#!/usr/bin/env bash
# The library's stop and reconnect paths under ThreadSanitizer: KSUSB_Stop from the caller's
# thread while a worker is blocked inside a transfer, then the next call, 100 rounds each, on the
# libusb back end (umockdev's emulated device) and on USB/IP (the virtual player), plus the
# fake-player tests of the transport, the status calls and the transfers. Builds only what it
# runs, in build/tsan. Not part of scripts/test.sh (it takes a while on a small machine).
#
#   bash scripts/tsan.sh            # build and run
#   bash scripts/tsan.sh --no-build # run what build/tsan holds
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$top/build/tsan
cd "$top"

targets=(devlink_test_libusb_umockdev devlink_test_usbip_vplayer devlink_test_transport
         devlink_test_status devlink_test_download devlink_test_upload devlink_test_library_state)

if [[ ${1:-} != --no-build ]]; then
  # No -Werror here: GCC 12 reports false array bounds in code instrumented for threads.
  cmake -S "$top" -B "$dir" -G Ninja -DTUNARA_WERROR=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTUNARA_TSAN=ON -DTUNARA_BUILD_BENCH=OFF -DTUNARA_BUILD_GUI=OFF
  cmake --build "$dir" -j 2 --target "${targets[@]}"
fi

# A report fails the program (exit code 66) even when every test passed. The suppressions cover
# umockdev's own threads only (see the file).
export TSAN_OPTIONS=${TSAN_OPTIONS:-exitcode=66 second_deadlock_stack=1 suppressions=$top/scripts/tsan.supp}

# umockdev's preload library has to come after the sanitizer runtime.
preload=$(find /usr/lib -name 'libumockdev-preload.so.0' -print -quit)
tsan_runtime=$(c++ -print-file-name=libtsan.so)

status=0
for target in "${targets[@]}"; do
  env=()
  if [[ $target == devlink_test_libusb_umockdev ]]; then
    [[ -n $preload ]] || { echo "umockdev's preload library is missing"; status=1; continue; }
    env=(LD_PRELOAD="$tsan_runtime:$preload")
  fi
  echo "=== $target"
  if env "${env[@]}" "$dir/bin/$target"; then
    echo "=== $target: passed, no report"
  else
    echo "=== $target: FAILED (exit $?)"
    status=1
  fi
done
exit $status
