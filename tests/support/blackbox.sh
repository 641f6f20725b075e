# The common start of the black-box shell tests, sourced by them: a scratch folder `work` that
# goes at exit (with the virtual player, when one runs), `fail` counting failures into
# `failures`, and start_player / stop_player for the program `vplayer` on the folder `state`
# (both set by the test before it starts the player).
work=$(mktemp -d)
pid=
failures=0
cleanup() {
    [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Starts the player on a free port and exports its address as KESTOUSB_USBIP.
start_player() {
    rm -f "$state/vplayer.addr"
    "$vplayer" --state "$state" --listen 127.0.0.1:0 >"$work/vplayer.out" 2>&1 &
    pid=$!
    for _ in $(seq 1 200); do
        [ -s "$state/vplayer.addr" ] && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    [ -s "$state/vplayer.addr" ] || { echo "FAIL: tunara-vplayer did not start" >&2; exit 1; }
    export KESTOUSB_USBIP
    KESTOUSB_USBIP=$(cat "$state/vplayer.addr")
}
stop_player() {
    kill -TERM "$pid" && wait "$pid"
    pid=
}
