#!/usr/bin/env bash
# Builds the Debian package (build-release/kavrin_*.deb) and, with --smoke, installs it on this
# machine, runs both programs for a moment, and removes it again.
#   scripts/package.sh [--smoke]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ! dpkg-query -W -f='${Status}' dpkg-dev 2>/dev/null | grep -q 'install ok installed'; then
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq dpkg-dev   # dpkg-shlibdeps
fi
build="$root/build-release"
bash "$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DKAVRIN_BUILD_TESTS=OFF
(cd "$build" && cpack -G DEB >/dev/null)
package=$(ls "$build"/kavrin_*.deb)
echo "Built $package"
dpkg-deb --info "$package" | grep -E 'Package|Version|Depends'

[ "${1:-}" = "--smoke" ] || exit 0
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$package" >/dev/null
trap 'DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -qq kavrin >/dev/null' EXIT
for file in /usr/bin/kavrin /usr/bin/kvn /usr/share/applications/kavrin.desktop \
            /usr/share/mime/packages/kavrin.xml /usr/share/man/man1/kvn.1 \
            /usr/share/icons/hicolor/scalable/apps/kavrin.svg \
            /usr/share/icons/hicolor/48x48/apps/kavrin.png \
            /usr/share/icons/hicolor/48x48/mimetypes/application-x-kavrin.png \
            /usr/share/kio/servicemenus/kavrin-compress.desktop \
            /usr/libexec/kavrin/kavrin-file-action; do
  [ -e "$file" ] || { echo "missing after install: $file"; exit 1; }
done
desktop-file-validate /usr/share/applications/kavrin.desktop
grep -qx "application/x-kavrin:application-x-kavrin" /usr/share/mime/icons ||
  { echo "the archive type has no icon"; exit 1; }
kvn --help >/dev/null
kvn mount --help >/dev/null
kvn --version
scratch=$(mktemp -d)
HOME="$scratch" XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data" \
  timeout 3 kavrin -platform offscreen && status=0 || status=$?
# The window runs until it is closed: being stopped by the timeout (124) is the good outcome.
[ "$status" -eq 124 ] || { echo "kavrin ended early with status $status"; exit 1; }
# The installed program leaves the package's desktop files to serve: nothing is written per user.
[ ! -e "$scratch/data/applications/kavrin.desktop" ] || { echo "kavrin registered per user"; exit 1; }
rm -rf "$scratch"
echo "The installed package works; removing it."
