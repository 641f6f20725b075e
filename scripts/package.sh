#!/usr/bin/env bash
# Builds the Debian package tunara_VERSION_ARCH.deb in build/package (tests and benchmarks
# off) and prints its path. Installs the Debian packages it needs first (as root, or through
# sudo; only what is missing). The package must pass lintian without errors. Install it with:
#   apt-get install ./build/package/tunara_*.deb
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
# Packaging needs dpkg-shlibdeps (dpkg-dev) and the checks lintian and appstreamcli; man-db
# shows the installed manual pages.
bash scripts/setup-deps.sh dpkg-dev file lintian appstream desktop-file-utils man-db

dir=$top/build/package
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
# Debian's hardening flags (stack protector, fortified functions, read-only relocations). The
# package does not stop on warnings: a newer compiler's new warning is no reason to ship nothing.
export CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
export CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
export LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
      -DTUNARA_BUILD_TESTS=OFF -DTUNARA_BUILD_BENCH=OFF -DTUNARA_WERROR=OFF "${launcher[@]}" >/dev/null
cmake --build "$dir" --parallel "${TUNARA_JOBS:-$(nproc)}"
# The metadata must pass before anything is packed.
appstreamcli validate --no-net "$dir/dist/org.example.tunara.metainfo.xml"
desktop-file-validate "$top/dist/tunara.desktop"
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/tunara_*.deb)
# Debian's own judge: errors fail the build (warnings are printed).
lintian --fail-on error "$deb" 2>/dev/null
echo "$deb"
