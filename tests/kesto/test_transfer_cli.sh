#!/usr/bin/env bash
# Black-box test of kesto put/get/sysimg/firmware/dump against a running tunara-vplayer. The
# FAT image is then judged by mtools (mcopy) and dosfstools (fsck.fat -n).
#   test_transfer_cli.sh KESTO VPLAYER MCOPY FSCK_FAT
set -uo pipefail
kesto=$1 vplayer=$2 mcopy=$3 fsck=$4
export LC_ALL=C.UTF-8

source "$(dirname "${BASH_SOURCE[0]}")/../support/blackbox.sh"
state=$work/state

check() { # check DESCRIPTION COMMAND...
    local what=$1; shift
    "$@" || fail "$what"
}
# expect_exit CODE DESCRIPTION COMMAND...: runs the command, output in $work/out, $work/err
expect_exit() {
    local want=$1 what=$2; shift 2
    "$@" >"$work/out" 2>"$work/err"
    local got=$?
    [ "$got" = "$want" ] || { fail "$what: exit $got, expected $want"; cat "$work/err" >&2; }
}
ctl() { "$vplayer" ctl --state "$state" "$@" >/dev/null || fail "ctl $*"; }

mkdir -p "$state" "$work/src" "$work/back"
printf '[Player]\nFlashBytes=8388608\nCardBytes=4194304\n' >"$state/player.ini"
start_player

# ---- put: long names, an exact block multiple, an empty file, a name outside ASCII ----------
src=$work/src
names=("A long file name.mp3" "Exact Block.bin" "short.mp3" "Café – Ünïcode.mp3" "empty.txt")
head -c 100000 /dev/urandom >"$src/${names[0]}"
head -c 32768 /dev/urandom >"$src/${names[1]}"
head -c 1000 /dev/urandom >"$src/${names[2]}"
head -c 5000 /dev/urandom >"$src/${names[3]}"
: >"$src/${names[4]}"
paths=()
for n in "${names[@]}"; do paths+=("$src/$n"); done
expect_exit 0 "put of five files" "$kesto" put -m M "${paths[@]}"

# a name already on the player gets a free name, nothing is overwritten; a missing file: exit 1
# with the code
expect_exit 0 "put of an existing name" "$kesto" put "$src/short.mp3"
check "put of an existing name gives a free name" grep -qx -- "$src/short.mp3 -> M as short (2).mp3" "$work/out"
expect_exit 0 "rm of the free name" "$kesto" rm M "short (2).mp3"
expect_exit 1 "put of a missing file" "$kesto" put "$src/none.mp3"
check "put of a missing file reports -11" grep -q -- "-11" "$work/err"
expect_exit 2 "put with a bad memory" "$kesto" put -m X "$src/short.mp3"

# the player unplugged during a put: the run stops at the first "not connected", says it once
# (with advice for this system, not a driver's) and lists every file that did not arrive
for n in u1 u2 u3; do head -c 100000 /dev/urandom >"$src/$n.bin"; done
ctl fault unplug-after 60000
expect_exit 1 "put while unplugged" "$kesto" put -m M "$src/u1.bin" "$src/u2.bin" "$src/u3.bin"
ctl plug
[ "$(grep -c -- "-40 (KSUSB_ERR_NOT_CONNECTED)" "$work/err")" = 1 ] ||
    fail "put while unplugged reports -40 more than once: $(cat "$work/err")"
check "put while unplugged points at the cable and the udev rule" \
    grep -q "Check the USB cable and the udev rule that gives you access to the player, then try 'kesto info'.$" "$work/err"
check "put while unplugged lists what did not arrive" \
    diff <(sed -n '/^kesto put: did not arrive:$/,$p' "$work/err") \
    <(printf 'kesto put: did not arrive:\n  %s\n  %s\n  %s\n' "$src/u1.bin" "$src/u2.bin" "$src/u3.bin")

# ---- get: identical bytes back, to a file and into a folder ------------------------------------
for n in "${names[@]}"; do
    expect_exit 0 "get $n" "$kesto" get -m M "$n" "$work/back/$n"
    check "get $n returns identical bytes" cmp -s "$src/$n" "$work/back/$n"
done
mkdir "$work/folder"
expect_exit 0 "get into a folder" "$kesto" get "short.mp3" "$work/folder"
check "get into a folder writes NAME there" cmp -s "$src/short.mp3" "$work/folder/short.mp3"
expect_exit 1 "get of an unknown name" "$kesto" get "nothing.mp3" "$work/back/nothing"
check "get of an unknown name reports -11" grep -q -- "-11" "$work/err"
[ ! -e "$work/back/nothing" ] || fail "get of an unknown name created a file"

# ---- get onto a pipe, through a link, onto the null device -------------------------------------
mkfifo "$work/pipe"
timeout 60 cat "$work/pipe" >"$work/from-pipe" &
expect_exit 0 "get into a pipe" "$kesto" get short.mp3 "$work/pipe"
wait $!
check "get into a pipe delivers the bytes" cmp -s "$src/short.mp3" "$work/from-pipe"
check "the pipe stays a pipe" test -p "$work/pipe"
ln -s back/linked.mp3 "$work/link.mp3"
expect_exit 0 "get through a link" "$kesto" get short.mp3 "$work/link.mp3"
check "the link stays a link" test -L "$work/link.mp3"
check "the linked file takes the bytes" cmp -s "$src/short.mp3" "$work/back/linked.mp3"
ln -s /dev/null "$work/null"
expect_exit 0 "get onto the null device" "$kesto" get short.mp3 "$work/null"
check "the link to the null device stays a link" test -L "$work/null" -a -c /dev/null

# ---- a failed or stopped upload leaves the destination as it was ------------------------------
echo "precious old content" >"$work/keep.mp3"
cp "$work/keep.mp3" "$work/keep.orig"
ctl fault drop-stream 16384
expect_exit 1 "get with a dropped stream" "$kesto" get "${names[0]}" "$work/keep.mp3"
check "dropped stream reports -44" grep -q -- "-44" "$work/err"
check "dropped stream leaves the destination" cmp -s "$work/keep.orig" "$work/keep.mp3"
ctl fault clear

# Ctrl-C: stopped through KSUSB_Stop once the worker has started writing its temporary file.
head -c 3000000 /dev/urandom >"$src/big.bin"
expect_exit 0 "put big" "$kesto" put "$src/big.bin"
ctl speed full
"$kesto" get big.bin "$work/keep.mp3" >"$work/out" 2>"$work/err" &
getpid=$!
for _ in $(seq 1 400); do
    compgen -G "$work/keep.mp3.part-*" >/dev/null && break
    sleep 0.02
done
kill -INT "$getpid"
wait "$getpid"
rc=$?
[ "$rc" = 1 ] || fail "get stopped by Ctrl-C: exit $rc, expected 1"
check "Ctrl-C reports -43" grep -q -- "-43" "$work/err"
check "Ctrl-C leaves the destination" cmp -s "$work/keep.orig" "$work/keep.mp3"
compgen -G "$work/keep.mp3.part-*" >/dev/null && fail "a temporary file was left behind"
ctl speed unlimited

# ---- system image and firmware land in the player's state folder ------------------------------
head -c 1300 /dev/urandom >"$work/font.bin"
expect_exit 0 "sysimg FONT-ENG" "$kesto" sysimg FONT-ENG "$work/font.bin"
check "sysimg lands in slot 02" cmp -s "$work/font.bin" "$state/sysimg-02.bin"
expect_exit 0 "sysimg by number" "$kesto" sysimg 0xE1 "$work/font.bin"
check "sysimg lands in slot e1" cmp -s "$work/font.bin" "$state/sysimg-e1.bin"
expect_exit 2 "sysimg with an unknown slot name" "$kesto" sysimg FONT-KLINGON "$work/font.bin"
head -c 1000 /dev/urandom >"$work/fw.bin"
expect_exit 0 "firmware" "$kesto" firmware "$work/fw.bin"
{ cat "$work/fw.bin"; head -c 24 /dev/zero; } >"$work/fw.padded"
check "firmware is kept as 16 units of 64 bytes" cmp -s "$work/fw.padded" "$state/firmware.bin"
ctl fault refuse 1
expect_exit 1 "refused firmware" "$kesto" firmware "$work/fw.bin"
check "refused firmware reports -55" grep -q -- "-55" "$work/err"

# ---- dump: the listing's form and the raw bytes of the image ----------------------------------
expect_exit 0 "dump" "$kesto" dump M 0x200 0x400 --spare --sector 512 --cluster 32 \
    --bin "$work/dump.bin" --text "$work/dump.txt"
check "dump writes 512 raw bytes" test "$(stat -c %s "$work/dump.bin")" = 512
check "dump bytes are the image's" cmp -s "$work/dump.bin" <(tail -c +513 "$state/flash.img" | head -c 512)
check "one BLOCK/PAGE header for page 1, block 0" \
    test "$(grep -c 'BLOCK:00000000h(00000000d), PAGE:00000001h(00000001d)' "$work/dump.txt")" = 1
check "one spare line" test "$(grep -c 'SPARE   : ud<' "$work/dump.txt")" = 1
check "32 rows" test "$(grep -cE '^0000(02|03)[0-9A-F]{2} : ' "$work/dump.txt")" = 32
expect_exit 2 "dump with end below start" "$kesto" dump M 0x400 0x200
expect_exit 2 "dump with a sector size of 0" "$kesto" dump M 0 0x40 --sector 0

stop_player

# ---- the image, judged by mtools and dosfstools ------------------------------------------------
for n in "${names[@]}"; do
    rm -f "$work/m"
    "$mcopy" -n -i "$state/flash.img" "::$n" "$work/m" 2>"$work/err" || fail "mcopy $n: $(cat "$work/err")"
    check "mcopy $n: byte for byte equal" cmp -s "$src/$n" "$work/m"
done
"$fsck" -n "$state/flash.img" >"$work/out" 2>&1 || { fail "fsck.fat -n"; cat "$work/out" >&2; }

[ "$failures" = 0 ] && echo "all transfer CLI checks passed"
exit $((failures > 0))
