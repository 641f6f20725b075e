#!/usr/bin/env bash
# Makes a demo state folder for tunara-vplayer: player.ini (a QN520), flash.img and card.img
# laid out by mkfs.fat and filled by mcopy with short MP3 tones (lame, tagged with id3v2), a
# voice recording and files with long non-ASCII names.
#
#   scripts/make-demo-state.sh DIR
#
# DIR is created; existing images in it are replaced. Needs sox, lame, id3v2, dosfstools and
# mtools (scripts/setup-deps.sh installs them).
set -euo pipefail

if [ $# -ne 1 ] || [ "$1" = "--help" ] || [ "$1" = "-h" ]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
dir=$1
for tool in sox lame id3v2 mcopy; do
  command -v "$tool" >/dev/null || { echo "$0: $tool is missing (run scripts/setup-deps.sh)" >&2; exit 1; }
done
mkfs=$(command -v mkfs.fat || echo /usr/sbin/mkfs.fat)
[ -x "$mkfs" ] || { echo "$0: mkfs.fat is missing (dosfstools)" >&2; exit 1; }

flash_kib=16384
card_kib=32768
mkdir -p "$dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# mtools: UTF-8 names, no geometry checks on image files.
export LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1
printf 'mtools_skip_check=1\n' > "$work/mtoolsrc"
export MTOOLSRC=$work/mtoolsrc

cat > "$dir/player.ini" <<INI
[Player]
Model=QN520
Version=1.00.00.K5 
Date=20050718
CardPresent=1
WriteProtected=0
FlashBytes=$((flash_kib * 1024))
CardBytes=$((card_kib * 1024))
INI

# tone NAME SECONDS FREQUENCY TITLE ARTIST ALBUM GENRE TRACK
tone() {
  local out=$work/$1
  sox -q -n -r 44100 -c 2 "$work/tone.wav" synth "$2" sine "$3" fade 0.1 "$2" 0.3 vol 0.5
  lame --quiet -b 128 "$work/tone.wav" "$out"
  id3v2 --id3v2-only -t "$4" -a "$5" -A "$6" -g "$7" -T "$8" -y 2005 "$out" >/dev/null
}

tone "Morning Tone.mp3" 3 440 "Morning Tone" "Tunara Demo Band" "Test Tones" 13 1
tone "Evening Chord.mp3" 4 330 "Evening Chord" "Tunara Demo Band" "Test Tones" 13 2
tone "노래 - 아침의 소리.mp3" 3 523 "아침의 소리" "데모 밴드" "시험 음반" 8 3
tone "Café Électrique à Minuit.mp3" 5 392 "Café Électrique" "Démo Ensemble" "Chansons" 32 1
tone "TRACK05.MP3" 2 660 "Track Five" "Tunara Demo Band" "Test Tones" 13 5
# A voice recording: 8 kHz mono, as the player records memos.
sox -q -n -r 8000 -c 1 -b 16 "$work/memo.wav" synth 2 sine 300 vol 0.4

rm -f "$dir/flash.img" "$dir/card.img"
"$mkfs" -n TUNARA -C "$dir/flash.img" "$flash_kib" >/dev/null
"$mkfs" -n CARD -C "$dir/card.img" "$card_kib" >/dev/null
mcopy -i "$dir/flash.img" "$work/Morning Tone.mp3" "$work/Evening Chord.mp3" \
  "$work/노래 - 아침의 소리.mp3" "$work/memo.wav" "$work/TRACK05.MP3" ::
mcopy -i "$dir/card.img" "$work/Café Électrique à Minuit.mp3" ::

echo "demo state in $dir:"
mdir -i "$dir/flash.img" ::
mdir -i "$dir/card.img" ::
