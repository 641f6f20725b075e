#!/usr/bin/env bash
# Builds the Debian packages in build/package (tests and benchmarks off) and prints their paths:
#   libkestousb0     the library, with its symbols file (dist/debian/libkestousb0.symbols)
#   libkestousb-dev  the header, the .so link and kestousb.pc
#   tunara           the program, its packs, kesto, tunara-vplayer, desktop entry, udev rule...
# The install rules' components (cmake/TunaraInstall.cmake) say which package a file goes to;
# dist/debian/control describes the packages. Installs the Debian packages it needs first (as
# root, or through sudo; only what is missing). lintian must print no error and no warning.
# Install them with:
#   apt-get install ./build/package/*.deb
set -euo pipefail
umask 022
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
# Packaging needs dpkg-dev (dpkg-gensymbols, dpkg-shlibdeps, dpkg-gencontrol) and the checks
# lintian and appstreamcli; man-db shows the installed manual pages.
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

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$dir/CMakeCache.txt")
packages=(library:libkestousb0 development:libkestousb-dev program:tunara)

# The packages' trees in the layout dpkg-dev's tools expect: debian/control, debian/changelog
# and one folder debian/PACKAGE per package.
stage=$dir/deb
rm -rf "$stage" "$dir"/*.deb
mkdir -p "$stage/debian"
cd "$stage"
cp "$top/dist/debian/control" debian/control
maintainer=$(sed -n 's/^Maintainer: //p' debian/control)
# A native package: the changelog names the version built.
cat >debian/changelog <<EOF
tunara ($version) unstable; urgency=medium

  * Package built from the Tunara source tree.

 -- $maintainer  $(date -u -R)
EOF

for entry in "${packages[@]}"; do
    component=${entry%%:*} pkg=${entry#*:}
    DESTDIR=$stage/debian/$pkg cmake --install "$dir" --component "$component" --strip >/dev/null
    doc=debian/$pkg/usr/share/doc/$pkg
    install -d "$doc" "debian/$pkg/DEBIAN"
    install -m 644 "$top/dist/copyright" "$doc/copyright"
    gzip -9 -n -c debian/changelog >"$doc/changelog.gz"
    chmod 644 "$doc/changelog.gz"
    for script in preinst postinst prerm postrm; do
        src=$top/dist/debian/$pkg.$script
        [ ! -f "$src" ] || install -m 755 "$src" "debian/$pkg/DEBIAN/$script"
    done
    [ ! -f "$top/dist/debian/$pkg.triggers" ] ||
        install -m 644 "$top/dist/debian/$pkg.triggers" "debian/$pkg/DEBIAN/triggers"
done

# Every file the install rules put down is in exactly one package.
DESTDIR=$stage/all cmake --install "$dir" >/dev/null
(cd "$stage/all" && find . ! -type d | sort) >"$stage/all.list"
for entry in "${packages[@]}"; do
    (cd "debian/${entry#*:}" && find . ! -type d ! -path './DEBIAN/*' ! -path './usr/share/doc/*')
done | sort >"$stage/packed.list"
grep -v '^\./usr/share/doc/' "$stage/all.list" | diff -u - "$stage/packed.list" ||
    { echo "package.sh: the packages do not hold exactly the installed files" >&2; exit 1; }

# The library's symbols: the exported C functions, each with the version that brought it. Any
# function added or removed without an entry there stops the build (-c4).
dpkg-gensymbols -plibkestousb0 -Pdebian/libkestousb0 -v"$version" -c4 \
    -I"$top/dist/debian/libkestousb0.symbols" -Odebian/libkestousb0/DEBIAN/symbols
# The shlibs file for tools that do not read symbols files.
echo "libKestoUSB 0 libkestousb0 (>= $version)" >debian/libkestousb0/DEBIAN/shlibs

# Runtime dependencies from the shared libraries the ELF files link; the program and tools find
# libKestoUSB.so.0 in the library's package, so they depend on it through its symbols file.
for entry in "${packages[@]}"; do
    pkg=${entry#*:}
    mapfile -t elves < <(find "debian/$pkg" -type f ! -path '*/DEBIAN/*' -exec file -N {} + |
                         sed -n 's/: *ELF .*//p' | sort)
    [ ${#elves[@]} -eq 0 ] ||
        dpkg-shlibdeps -T"debian/$pkg.substvars" -l"debian/libkestousb0/usr/$libdir" "${elves[@]}"
    dpkg-gencontrol -p"$pkg" -P"debian/$pkg" -T"debian/$pkg.substvars"
    (cd "debian/$pkg" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | sort -z |
        xargs -0 md5sum >DEBIAN/md5sums)
    dpkg-deb --root-owner-group --build "debian/$pkg" "$dir" >/dev/null
done

cd "$top"
debs=()
for entry in "${packages[@]}"; do
    debs+=("$(ls "$dir/${entry#*:}_${version}_"*.deb)")
done
# Debian's own judge: an error or a warning fails the build (its note on running as root is
# no finding).
lintian --fail-on error,warning "${debs[@]}" 2> >(grep -v '^running with root privileges' >&2)
printf '%s\n' "${debs[@]}"
