#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing Tunara needs.
# Idempotent: installs only what is missing. Runs as root, or through sudo. Packages named as
# arguments are installed beside them (scripts/package.sh adds its packaging tools).
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build ccache pkg-config clang clang-format libclang-rt-14-dev lld
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev
  libusb-1.0-0-dev libtag1-dev libumockdev-dev zlib1g-dev
  # conversion: FFmpeg's libraries decode, LAME encodes MP3
  libavformat-dev libavcodec-dev libswresample-dev libswscale-dev libavutil-dev libmp3lame-dev
  # loudness measurement for levelling the volume
  libebur128-dev
  # peers the tests use as independent judges, and the demo's test files
  umockdev usbip mtools dosfstools lame twolame sox python3-mutagen id3v2
  # a session bus of the tests' own for the single instance
  dbus-daemon
  # test files in other formats, and the command line the conversion benchmark compares with
  ffmpeg
  # headless GUI runs and screenshots
  xvfb xauth fonts-nanum fonts-dejavu-core
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
