#!/usr/bin/env bash
# How many files of a library a memory takes when names, not bytes, are what runs out: 400
# small files of 41-character names in 20 album folders synced to the virtual player's flash,
# with the names as they are and with --short-names. The sync must send exactly what its dry run
# said fits, with no file refused for want of name records, and short names must fit at least
# 1.8 times as many. Not run by the tests:
#   bench/bench_sync_fit.sh build/normal/bin/kesto build/normal/bin/tunara-vplayer
set -uo pipefail
kesto=$1 vplayer=$2
export LC_ALL=C.UTF-8
source "$(dirname "${BASH_SOURCE[0]}")/../tests/support/blackbox.sh"
export XDG_CACHE_HOME=$work/cache

lib=$work/library
for a in $(seq -w 1 20); do
    mkdir -p "$lib/Artist/Album $a"
    for t in $(seq -w 1 20); do
        # "NN " + 34 characters + ".mp3": 41 characters, five directory records each
        head -c 2000 /dev/urandom >"$lib/Artist/Album $a/$t A song title from album $a, longer.mp3"
    done
done

run() { # run LABEL FLAGS...: one sync on a fresh player; prints the counts
    local label=$1; shift
    state=$work/state-$label
    mkdir -p "$state"
    printf '[Player]\nFlashBytes=67108864\n' >"$state/player.ini"
    start_player
    "$kesto" sync "$lib" M --dry-run "$@" >"$work/dry" 2>&1
    local start=$SECONDS
    "$kesto" sync "$lib" M "$@" >"$work/run" 2>"$work/err"
    local status=$?
    local planned sent refused onplayer
    planned=$(grep -c '^send ' "$work/dry")
    sent=$(grep -c '^send ' "$work/run")
    refused=$(grep -c 'storage area is full' "$work/err")
    onplayer=$("$kesto" ls M --json | grep -o '"name":' | wc -l)
    stop_player
    printf '%-12s exit %d, planned %d, sent %d, on the player %d, refused for name room %d, %d s\n' \
        "$label" "$status" "$planned" "$sent" "$onplayer" "$refused" $((SECONDS - start))
    [ "$status" = 0 ] && [ "$planned" = "$sent" ] && [ "$sent" = "$onplayer" ] &&
        [ "$refused" = 0 ] || fail "$label: the sync did not send what its plan said"
    echo "$onplayer" >"$work/count-$label"
}

run names
run short --short-names
names=$(cat "$work/count-names") short=$(cat "$work/count-short")
awk -v n="$names" -v s="$short" 'BEGIN {
    printf "short names fit %.2f times as many files (goal: 1.8)\n", s / n; exit !(s >= 1.8 * n) }' ||
    fail "short names fit fewer than 1.8 times as many"
exit $((failures > 0))
