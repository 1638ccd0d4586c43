#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages from debian/ with dpkg-buildpackage, in a copy of the source tree
# under build-deb/ (so the tree itself stays clean): kvn (the command-line tool and its mount,
# without Qt), kavrin (the window and the desktop files), libkavrin1, libkavrin-dev and
# python3-kavrin (the library, its development files and the Python module), the -dbgsym
# packages and the source package. Checks them with lintian (no error, no warning), the programs' hardening with readelf,
# and the AppStream metainfo with appstreamcli.
#
# With --smoke it then installs kvn alone on this machine, checks that it links no Qt, X or GL
# library and works, installs kavrin beside it, runs both programs, then the library, its
# development files and the Python module: builds the C example of doc/library.md through
# pkg-config and CMake and runs it and the Python module on kvn's archive; and removes them all.
#   scripts/package.sh [--smoke]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
fail() {
  echo "package: $*" >&2
  exit 1
}

version=$(cd "$root" && dpkg-parsechangelog -S Version)
project=$(sed -n 's/^project(Kavrin VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ "$version" = "$project" ] ||
  fail "debian/changelog is at $version but CMakeLists.txt at $project: add a changelog entry"

# The source tree as a checkout holds it, with edits not yet committed (build folders and other
# ignored files left out).
out="$root/build-deb"
rm -rf "$out"
mkdir -p "$out/kavrin-$version"
if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
  (cd "$root" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done |
    tar --null -T - -cf -) | tar -xf - -C "$out/kavrin-$version"
else
  tar -C "$root" --exclude='./build*' -cf - . | tar -xf - -C "$out/kavrin-$version"
fi

echo "Building the packages of Kavrin $version"
(cd "$out/kavrin-$version" &&
  DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
    nice -n 5 dpkg-buildpackage -us -uc >"$out/build.log" 2>&1) ||
  { tail -n 40 "$out/build.log"; fail "dpkg-buildpackage failed (build-deb/build.log)"; }
arch=$(dpkg --print-architecture)
changes="$out/kavrin_${version}_$arch.changes"
for package in kvn kavrin kvn-dbgsym kavrin-dbgsym libkavrin1 libkavrin-dev python3-kavrin \
  libkavrin1-dbgsym; do
  deb="$out/${package}_${version}_$arch.deb"
  [ -f "$deb" ] || fail "missing: $deb"
  echo "Built $(basename "$deb"): $(dpkg-deb -f "$deb" Installed-Size) KiB installed"
done
dpkg-deb -f "$out/kvn_${version}_$arch.deb" Depends Recommends
dpkg-deb -f "$out/kavrin_${version}_$arch.deb" Depends Recommends
dpkg-deb -f "$out/python3-kavrin_${version}_$arch.deb" Depends

echo "lintian:"
lintian --fail-on error,warning "$changes" || fail "lintian reports errors or warnings"

# Hardening as dpkg-buildflags asks for it, and debug symbols kept apart.
unpacked="$out/unpacked"
for package in kvn kavrin; do
  dpkg-deb -x "$out/${package}_${version}_$arch.deb" "$unpacked"
  program="$unpacked/usr/bin/$package"
  headers=$(readelf -W --file-header --program-headers --dynamic --sections --dyn-syms "$program")
  grep -q 'Type: *DYN' <<<"$headers" || fail "$package is not position-independent"
  grep -q 'GNU_RELRO' <<<"$headers" || fail "$package has no read-only relocations"
  grep -qE 'BIND_NOW|FLAGS_1.*NOW' <<<"$headers" || fail "$package is not bound now"
  grep -q '__stack_chk_fail' <<<"$headers" || fail "$package has no stack protector"
  grep -qE '__[a-z]+_chk@' <<<"$headers" || fail "$package uses no fortified functions"
  ! grep -q '\.debug_info' <<<"$headers" || fail "$package is not stripped"
  symbols=$(dpkg-deb -c "$out/${package}-dbgsym_${version}_$arch.deb")
  grep -q '/usr/lib/debug/.build-id/.*\.debug$' <<<"$symbols" ||
    fail "${package}-dbgsym holds no debug symbols"
done

# Every document a manual page names is in the package.
for cited in $(grep -ohE '/usr/share/doc/[a-z]+/[A-Za-z0-9_./-]+[A-Za-z0-9]' "$root"/doc/*.1 | sort -u); do
  [ -f "$unpacked$cited" ] || fail "a manual page cites $cited, which no package holds"
done
[ -f "$unpacked/usr/share/doc/kvn/examples/Containerfile" ] || fail "kvn lacks the Containerfile"

# The library: its SONAME, hardening, and the format's description beside it.
for package in libkavrin1 libkavrin-dev python3-kavrin; do
  dpkg-deb -x "$out/${package}_${version}_$arch.deb" "$unpacked"
done
library=$(find "$unpacked/usr/lib" -name 'libkavrin.so.1.*' -type f)
headers=$(readelf -W --program-headers --dynamic "$library")
grep -q 'Library soname: \[libkavrin.so.1\]' <<<"$headers" || fail "libkavrin has another SONAME"
grep -q 'GNU_RELRO' <<<"$headers" || fail "libkavrin has no read-only relocations"
grep -qE 'BIND_NOW|FLAGS_1.*NOW' <<<"$headers" || fail "libkavrin is not bound now"
for doc in libkavrin-dev/archive_format.md libkavrin-dev/library.md python3-kavrin/library.md; do
  [ -f "$unpacked/usr/share/doc/$doc" ] || fail "missing: /usr/share/doc/$doc"
done

appstreamcli validate --no-net --strict "$unpacked/usr/share/metainfo/io.kavrin.Kavrin.metainfo.xml" ||
  fail "the AppStream metainfo does not validate"

[ "${1:-}" = "--smoke" ] || exit 0

# Installed as users install them: kvn alone first.
apt_get() { DEBIAN_FRONTEND=noninteractive $sudo apt-get -y -qq "$@" >/dev/null; }
remove() { apt_get purge python3-kavrin libkavrin-dev libkavrin1 kavrin kvn 2>/dev/null || true; }
remove
trap remove EXIT
apt_get install "$out/kvn_${version}_$arch.deb"
! dpkg-query -W -f='${Status}' kavrin 2>/dev/null | grep -q 'install ok' || fail "kavrin came with kvn"
if ldd /usr/bin/kvn | grep -E 'libQt|libX[0-9a-z]*\.so|libxcb|libGL|libEGL|libOpenGL|libwayland|libdrm'; then
  fail "kvn links a graphical library"
fi
if apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
  --no-replaces --no-enhances kvn | grep -vE '^ ' |
  grep -E '^(libqt|qt6-|libx11|libxcb|libxext|libgl1|libglx|libgles|libegl|libopengl|libwayland|libdrm|libgbm)'; then
  fail "kvn depends on a graphical library"
fi
for file in /usr/bin/kvn /usr/share/man/man1/kvn.1.gz /usr/share/doc/kvn/copyright \
  /usr/share/bash-completion/completions/kvn /usr/share/zsh/vendor-completions/_kvn \
  /usr/share/fish/vendor_completions.d/kvn.fish; do
  [ -e "$file" ] || fail "missing after installing kvn: $file"
done
kvn --version
scratch=$(mktemp -d)
trap 'remove; rm -rf "$scratch"' EXIT
head -c 300000 /dev/urandom >"$scratch/take.wav"
cp "$scratch/take.wav" "$scratch/take.orig"
kvn compress -q --delete-source "$scratch/take.wav"
kvn test "$scratch/take.kvn" >/dev/null
kvn expand -q "$scratch/take.kvn"
cmp "$scratch/take.wav" "$scratch/take.orig" || fail "kvn did not restore its archive"

# Then the window beside it.
apt_get install "$out/kavrin_${version}_$arch.deb"
for file in /usr/bin/kavrin /usr/share/applications/kavrin.desktop \
  /usr/share/mime/packages/kavrin.xml /usr/share/man/man1/kavrin.1.gz \
  /usr/share/icons/hicolor/scalable/apps/kavrin.svg \
  /usr/share/icons/hicolor/48x48/apps/kavrin.png \
  /usr/share/icons/hicolor/48x48/mimetypes/application-x-kavrin.png \
  /usr/share/kio/servicemenus/kavrin-compress.desktop \
  /usr/share/kio/servicemenus/kavrin-expand.desktop \
  /usr/share/nautilus-python/extensions/kavrin.py \
  /usr/share/metainfo/io.kavrin.Kavrin.metainfo.xml /usr/libexec/kavrin/kavrin-file-action \
  /usr/share/locale/de/LC_MESSAGES/kavrin-desktop.mo; do
  [ -e "$file" ] || fail "missing after installing kavrin: $file"
done
grep -q '^Exec=/usr/libexec/kavrin/kavrin-file-action compress %F$' \
  /usr/share/kio/servicemenus/kavrin-compress.desktop || fail "the service menu runs no helper"
grep -q '^HELPER = "/usr/libexec/kavrin/kavrin-file-action"$' \
  /usr/share/nautilus-python/extensions/kavrin.py || fail "the Nautilus extension runs no helper"
grep -q '^LOCALE_DIR = "/usr/share/locale"$' \
  /usr/share/nautilus-python/extensions/kavrin.py || fail "the Nautilus extension has no catalogues"
[ "$(LANGUAGE=de LC_ALL=C.UTF-8 TEXTDOMAIN=kavrin-desktop gettext 'Expand here')" = "Hier entpacken" ] ||
  fail "the desktop's German catalogue is not where the helper looks"
desktop-file-validate /usr/share/applications/kavrin.desktop
appstreamcli validate --no-net --strict /usr/share/metainfo/io.kavrin.Kavrin.metainfo.xml >/dev/null
grep -qx "application/x-kavrin:application-x-kavrin" /usr/share/mime/icons ||
  fail "the archive type has no icon"
HOME="$scratch" XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data" \
  timeout 3 kavrin -platform offscreen && status=0 || status=$?
# The window runs until it is closed: being stopped by the timeout (124) is the good outcome.
[ "$status" -eq 124 ] || fail "kavrin ended early with status $status"
# The installed program leaves the package's desktop files to serve: nothing is written per user.
[ ! -e "$scratch/data/applications/kavrin.desktop" ] || fail "kavrin registered per user"

# Then the library, as a program that uses it builds against it, and the Python module.
apt_get install "$out/libkavrin1_${version}_$arch.deb" "$out/libkavrin-dev_${version}_$arch.deb" \
  "$out/python3-kavrin_${version}_$arch.deb"
awk '/^```c$/ {keep=1; next} /^```$/ {keep=0} keep' "$root/doc/library.md" >"$scratch/example.c"
cc -std=c11 -Wall -Werror "$scratch/example.c" $(pkg-config --cflags --libs kavrin) \
  -o "$scratch/example"
"$scratch/example" "$scratch/take.kvn" | grep -q '300000 bytes restored' ||
  fail "the C example did not read kvn's archive"
/usr/bin/python3 -c 'import sys, kavrin; sys.exit(kavrin.open(sys.argv[1]).read() != open(sys.argv[2], "rb").read())' \
  "$scratch/take.kvn" "$scratch/take.orig" || fail "the Python module did not read kvn's archive"
printf '%s\n' 'cmake_minimum_required(VERSION 3.25)' 'project(uses_kavrin C)' \
  'find_package(Kavrin REQUIRED)' 'add_executable(example example.c)' \
  'target_link_libraries(example PRIVATE Kavrin::kavrin)' >"$scratch/CMakeLists.txt"
cmake -S "$scratch" -B "$scratch/cmake" >/dev/null && cmake --build "$scratch/cmake" >/dev/null ||
  fail "a CMake project can't build against libkavrin-dev"

remove
trap 'rm -rf "$scratch"' EXIT
[ ! -e /usr/bin/kvn ] && [ ! -e /usr/bin/kavrin ] || fail "the packages did not remove cleanly"
[ ! -e /usr/include/kavrin.h ] || fail "libkavrin-dev did not remove cleanly"
echo "The packages install, work and remove cleanly."
