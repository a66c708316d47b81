#!/usr/bin/env bash
# Builds the Debian packages from a Release build with Debian's hardening flags,
# stripped: tamblet-cli (tamblet-cli and tamblet-pgm, no Qt), tamblet (the window
# and its desktop files) and tamblet-devsim (the simulated instrument, a test tool).
#   package.sh [OUT]     (default build/package; the packages land in OUT)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$src/build/package}")
cd "$src"
bash scripts/setup.sh >/dev/null

# bindnow and PIE too, not only Debian's default fortify, stack protector and relro.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags() { dpkg-buildflags --get "$1"; }
build=$out/build
# Release, at Debian's -O2 rather than CMake's -O3 (where GCC 12 warns falsely
# on string concatenation).
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_C_FLAGS="$(flags CPPFLAGS) $(flags CFLAGS)" -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG \
  -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" \
  -DTAMBLET_WITH_TESTS=OFF -DTAMBLET_WITH_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"

upstream=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
version=$(dpkg-parsechangelog -l packaging/changelog -S Version)
if [[ ${version%-*} != "$upstream" ]]; then
  echo "package: packaging/changelog starts at $version, the program is $upstream: add its entry" >&2
  exit 1
fi
arch=$(dpkg --print-architecture)

# The licence as Debian's machine-readable copyright file.
copyright() {
  printf '%s\n' "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
    "Upstream-Name: Tamblet" "" "Files: *"
  sed -n 's/^Copyright (c) /Copyright: /p' LICENSE
  echo "License: Expat"
  sed -n '/^Permission/,$p' LICENSE | sed 's/^$/./; s/^/ /'
}

# Each package's tree is staged as debian/PACKAGE of a source package, where
# dpkg-shlibdeps looks for it.
stage=$out/stage
rm -rf "$stage"
mkdir -p "$stage/debian"
printf 'Source: tamblet\n' >"$stage/debian/control"
for package in tamblet-cli tamblet tamblet-devsim; do
  printf '\nPackage: %s\nArchitecture: any\n' "$package" >>"$stage/debian/control"
done

rm -f "$out"/*.deb
umask 022
# Install component, then the package made of it.
for pair in cli:tamblet-cli tamblet:tamblet devsim:tamblet-devsim; do
  component=${pair%%:*} package=${pair#*:}
  root=$stage/debian/$package
  DESTDIR=$root cmake --install "$build" --prefix /usr --component "$component" >/dev/null

  # As Debian's own packaging strips: no symbols, no comment or note section.
  mapfile -t elves < <(find "$root" -type f -exec sh -c \
    'head -c 4 "$1" | grep -q "^.ELF" && echo "$1"' sh {} \;)
  for elf in "${elves[@]}"; do
    strip --remove-section=.comment --remove-section=.note --strip-unneeded "$elf"
  done

  doc=$root/usr/share/doc/$package
  mkdir -p "$doc"
  copyright >"$doc/copyright"
  gzip -9n -c packaging/changelog >"$doc/changelog.Debian.gz"
  overrides=$root/usr/share/lintian/overrides
  mkdir -p "$overrides"
  sed "/^[a-z]/s/^/$package: /" packaging/lintian-overrides >"$overrides/$package"
  chmod -R u+rwX,go+rX,go-w "$root"

  mkdir -p "$root/DEBIAN"
  depends=$(cd "$stage" && dpkg-shlibdeps -O "${elves[@]}" | sed -n 's/^shlibs:Depends=//p')
  size=$(du -sk --apparent-size --exclude=DEBIAN "$root" | cut -f1)
  # The computed fields go before the description, which ends the paragraph.
  awk -v fields="Version: $version\nArchitecture: $arch\nInstalled-Size: $size\nDepends: $depends" \
    '/^Description:/ { print fields } { print }' "packaging/$package.control" >"$root/DEBIAN/control"
  (cd "$root" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$root/DEBIAN/md5sums"
  chmod 644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
  dpkg-deb --root-owner-group -Zxz --build "$root" "$out/${package}_${version}_${arch}.deb" >/dev/null
  echo "$out/${package}_${version}_${arch}.deb"
done
