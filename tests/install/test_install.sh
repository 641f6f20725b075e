#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a user gets there: the layout, the
# programs starting from it (the program against the virtual player), a C program built against
# kestousb.pc, every help text in its manual page, and kesto's completion.
#   test_install.sh BUILD_DIR SOURCE_DIR LIBDIR VERSION [C_FLAGS]
set -uo pipefail
build=$1 source=$2 libdir=$3 version=$4 cflags=${5:-}
export LC_ALL=C.UTF-8 QT_QPA_PLATFORM=offscreen
# In a sanitized build: leaks at exit are the library and program tests' business, not this one's.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

source "$(dirname "${BASH_SOURCE[0]}")/../support/blackbox.sh"
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; echo "FAIL: cmake --install" >&2; exit 1; }

# ---- layout --------------------------------------------------------------------------------
for f in bin/kesto bin/tunara-vplayer lib/tunara/tunara lib/tunara/tunara.ini \
    lib/tunara/korean.lng lib/tunara/german.lng lib/tunara/tunara.dat \
    "$libdir/libKestoUSB.so.0" "$libdir/pkgconfig/kestousb.pc" include/KestoUSB.h \
    lib/udev/rules.d/70-kesto-player.rules share/applications/tunara.desktop \
    share/icons/hicolor/scalable/apps/tunara.svg share/icons/hicolor/48x48/apps/tunara.png \
    share/icons/hicolor/256x256/apps/tunara.png share/metainfo/org.example.tunara.metainfo.xml \
    share/man/man1/kesto.1.gz share/man/man1/tunara.1.gz share/man/man1/tunara-vplayer.1.gz \
    share/bash-completion/completions/kesto share/doc/tunara/copyright; do
    [ -f "$prefix/$f" ] || fail "missing $f"
done
[ "$(readelf -d "$prefix/$libdir/libKestoUSB.so.0" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')" = \
    libKestoUSB.so.0 ] || fail "libKestoUSB.so.0 does not carry its soname"
[ -L "$prefix/bin/tunara" ] && [ "$(readlink -f "$prefix/bin/tunara")" = \
    "$(readlink -f "$prefix/lib/tunara/tunara")" ] || fail "bin/tunara is not a link to the program"
grep -q 'TAG+="uaccess"' "$prefix/lib/udev/rules.d/70-kesto-player.rules" ||
    fail "the udev rule gives no uaccess"
grep -qx 'Exec=tunara %F' "$prefix/share/applications/tunara.desktop" &&
    grep -q '^MimeType=.*audio/mpeg;' "$prefix/share/applications/tunara.desktop" ||
    fail "the desktop entry does not take MP3 files"

# ---- components: every file in exactly one, as the Debian packages split them ---------------
lib=./$libdir/libKestoUSB.so
declare -A want=([library]="$lib.0 $lib.$version"
    [development]="./include/KestoUSB.h $lib ./$libdir/pkgconfig/kestousb.pc")
(cd "$prefix" && find . ! -type d | sort) >"$work/all.list"
for c in library development program; do
    cmake --install "$build" --prefix "$work/component-$c" --component "$c" >/dev/null 2>&1 ||
        fail "cmake --install --component $c"
    (cd "$work/component-$c" 2>/dev/null && find . ! -type d | sort) >"$work/$c.list"
    [ "$c" = program ] || [ "$(tr ' ' '\n' <<<"${want[$c]}" | sort)" = "$(cat "$work/$c.list")" ] ||
        fail "component $c holds: $(tr '\n' ' ' <"$work/$c.list")"
done
sort "$work"/{library,development,program}.list | diff -u "$work/all.list" - >&2 ||
    fail "the components do not hold every installed file exactly once"
# "PNG width height" of a PNG file (its signature and IHDR), empty for anything else.
png_size() {
    [ "$(head -c 4 "$1" 2>/dev/null | tail -c 3)" = PNG ] || return 0
    od -An -tu1 -j16 -N8 "$1" | awk '{ printf "PNG %d %d\n", $3 * 256 + $4, $7 * 256 + $8 }'
}
for size in 16 48 256; do
    [ "$(png_size "$prefix/share/icons/hicolor/${size}x${size}/apps/tunara.png")" = \
        "PNG $size $size" ] || fail "the ${size}x${size} icon is not a ${size}x${size} PNG"
done
[ -n "$(png_size "$prefix/lib/tunara/tunara.dat")" ] || fail "the splash picture is no PNG"
if command -v appstreamcli >/dev/null; then
    appstreamcli validate --no-net "$prefix/share/metainfo/org.example.tunara.metainfo.xml" \
        >"$work/as.log" 2>&1 || { cat "$work/as.log" >&2; fail "appstreamcli validate"; }
fi

# ---- the programs start from the prefix, whatever the build tree holds ----------------------
for prog in bin/kesto lib/tunara/tunara; do
    lib=$(env -u LD_LIBRARY_PATH ldd "$prefix/$prog" | sed -n 's/.*libKestoUSB.so.0 => \([^ ]*\).*/\1/p')
    case $lib in
        "$prefix/"*) ;;
        *) fail "$prog finds libKestoUSB at '$lib', not in the prefix" ;;
    esac
done
for prog in kesto tunara-vplayer tunara; do
    out=$(env -u LD_LIBRARY_PATH "$prefix/bin/$prog" --version 2>&1)
    case $out in
        "$prog $version"*) ;;
        *) fail "$prog --version: '$out'" ;;
    esac
done
for prog in kesto tunara-vplayer tunara; do
    "$prefix/bin/$prog" --help >"$work/$prog.help" 2>&1 || fail "$prog --help fails"
done

# ---- a C program built against kestousb.pc --------------------------------------------------
cat >"$work/client.c" <<'C'
#include <KestoUSB.h>
#include <stdio.h>
int main(void) {
    printf("%s\n", KSUSB_ErrorName(KSUSB_ERR_NOT_CONNECTED));
    return 0;
}
C
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
# shellcheck disable=SC2086
if cc -std=c99 -Wall -Werror $cflags -o "$work/client" "$work/client.c" \
    $(pkg-config --cflags --libs kestousb) 2>"$work/cc.log"; then
    out=$(LD_LIBRARY_PATH=$prefix/$libdir "$work/client")
    [ "$out" = KSUSB_ERR_NOT_CONNECTED ] || fail "the C program printed '$out'"
else
    cat "$work/cc.log" >&2
    fail "a C program does not build against kestousb.pc"
fi
[ "$(pkg-config --modversion kestousb)" = "$version" ] || fail "kestousb.pc has the wrong version"

# ---- help and manual page from one source ---------------------------------------------------
squash() { tr -s ' \t\n' ' '; }
# The manual page's text: requests dropped, escapes undone.
man_text() {
    zcat "$1" | grep -v '^\.' | sed -e 's/\\f[BIRP]//g' -e 's/\\-/-/g' -e 's/\\&//g' \
        -e 's/\\e/\\/g' | squash
}
check_help() { # PROGRAM HELP_SOURCE
    local prog=$1 src=$2 line
    man_text "$prefix/share/man/man1/$prog.1.gz" >"$work/$prog.man"
    local help
    help=$(cat "$work/$prog.help"
        for c in $(sed -n 's/^@command \([a-z0-9]*\).*/\1/p' "$src"); do
            "$prefix/bin/$prog" help "$c"
        done)
    help=$(squash <<<"$help")
    local lines=0
    while IFS= read -r line; do
        case $line in '@'* | '#'* | '') continue ;; esac
        line=$(squash <<<"$line" | sed 's/^ //;s/ $//')
        lines=$((lines + 1))
        grep -qF -- "$line" "$work/$prog.man" || fail "$prog: manual page lacks '$line'"
        grep -qF -- "$line" <<<"$help" || fail "$prog: help lacks '$line'"
    done <"$src"
    [ "$lines" -gt 5 ] || fail "$prog: no text read from $src"
    # ... and nothing in --help that the manual page does not say, but its usage lines.
    while IFS= read -r line; do
        case $line in 'Usage:'* | '       '"$prog"* | *: | '') continue ;; esac
        line=$(squash <<<"$line" | sed 's/^ //;s/ $//')
        grep -qF -- "$line" "$work/$prog.man" || fail "$prog: manual page lacks help line '$line'"
    done <"$work/$prog.help"
}
check_help kesto "$source/tools/kesto/kesto.help"
check_help tunara-vplayer "$source/tools/vplayer/tunara-vplayer.help"
check_help tunara "$source/app/shell/tunara.help"
grep -qF 'kesto sync SOURCE... M|S [--delete] [--dry-run]' "$work/kesto.help" ||
    fail "kesto --help lacks sync"

# ---- against the virtual player: the program starts, completion reads the player's names ----
state=$work/state
mkdir -p "$state" "$work/home"
printf '[Player]\nFlashBytes=4194304\nCardBytes=4194304\n' >"$state/player.ini"
vplayer=$prefix/bin/tunara-vplayer
start_player
printf 'one' >"$work/My Song.mp3"
printf 'two' >"$work/Mine.txt"
"$prefix/bin/kesto" put "$work/My Song.mp3" "$work/Mine.txt" >/dev/null 2>&1 || fail "kesto put"

# A home and a temporary folder of its own: another running copy (a demo on the same machine)
# would otherwise take its start as a second one and get its files instead.
mkdir -p "$work/tmp"
HOME=$work/home XDG_CONFIG_HOME=$work/home/.config TMPDIR=$work/tmp TUNARA_GRAB=$work/window.png \
    TUNARA_GRAB_DELAY_MS=4000 timeout 120 "$prefix/bin/tunara" >"$work/tunara.log" 2>&1 ||
    { cat "$work/tunara.log" >&2; fail "the installed tunara did not run"; }
[ -n "$(png_size "$work/window.png")" ] || fail "the installed tunara showed no window"

# SIGTERM (a session that ends) ends it as closing the window does: status 0, the window's
# placement kept, nothing of it left in the temporary folder.
rm -rf "$work/home/.config" "$work/tmp" && mkdir -p "$work/tmp"
HOME=$work/home XDG_CONFIG_HOME=$work/home/.config TMPDIR=$work/tmp \
    "$prefix/bin/tunara" >"$work/tunara-term.log" 2>&1 &
program=$!
for _ in $(seq 1 200); do
    compgen -G "$work/tmp/tunara-*" >/dev/null && break # its instance socket: the window is up
    sleep 0.05
done
sleep 0.5
kill -TERM "$program"
status=0
timeout 20 tail --pid="$program" -f /dev/null || { kill -KILL "$program"; status=timeout; }
wait "$program" || status=$?
[ "$status" = 0 ] || { cat "$work/tunara-term.log" >&2; fail "tunara after SIGTERM: $status"; }
grep -rqs '^Width=' "$work/home/.config" || fail "SIGTERM: the window's placement was not kept"
# (runtime-*: Qt's stand-in for a missing XDG_RUNTIME_DIR)
! compgen -G "$work/tmp/tunara-*" >/dev/null || fail "SIGTERM left $(ls "$work/tmp") behind"

# bash-completion's helpers, as far as kesto's completion uses them.
completion() { # WORD... (the last one is completed)
    bash -c '
        _init_completion() {
            words=("${COMP_WORDS[@]}"); cword=$COMP_CWORD
            cur=${words[cword]}; prev=${words[cword - 1]}
        }
        _filedir() { COMPREPLY=(FILES); }
        complete() { :; }
        source "$1"; shift
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
        _kesto
        printf "%s\n" "${COMPREPLY[@]}" | sort' completion \
        "$prefix/share/bash-completion/completions/kesto" "$prefix/bin/kesto" "$@"
}
while IFS='|' read -r name want words; do
    got=$(eval "completion $words" | tr '\n' ' ' | sed 's/ $//')
    [ "$got" = "$want" ] || fail "completion $name: '$got', expected '$want'"
done <<'ROWS'
verbs|rm|r
verbs with s|sync sysimg|s
memories|M S|ls ""
player names|Mine.txt My\ Song.mp3|rm M M
player names after -m|My\ Song.mp3|get -m M My
sync options|--delete --dry-run|sync dir M --d
sync folder|FILES|sync ""
ROWS

[ "$failures" -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
echo "install layout ok"
