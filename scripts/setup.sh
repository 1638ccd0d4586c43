#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages Kavrin needs to build, test and benchmark, when any is missing.
# Safe to run again: with everything present it installs nothing and needs no network.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libbz2-dev bzip2           # the codec, and the reference program the tests compare with
  libdivsufsort-dev          # the block encoder's sort
  lbzip2 pbzip2              # parallel bzip2 programs whose streams the tests expand
  libcli11-dev               # kvn's option parser
  nlohmann-json3-dev         # kvn's JSON report
  libgtest-dev               # tests
  qt6-base-dev qt6-svg-dev   # the window and its scalable pictures
  xvfb xauth                 # the window's tests and screenshots
  python3-pyatspi at-spi2-core dbus-daemon  # the window as a screen reader meets it (AT-SPI)
  qt6-l10n-tools qt6-translations-l10n      # the window's translations, and Qt's own
  desktop-file-utils shared-mime-info   # checking the desktop entry and the MIME package
  libfuse3-dev fuse3         # kvn mount, and fusermount3 to unmount it
  qemu-user                  # kvn as processors without AVX2, BMI2 or PCLMUL; the mount under it
  dosfstools exfatprogs fusefat exfat-fuse  # FAT and exFAT images the file-system tests write results to
  fluidsynth sox             # programs that read sound files through kvn mount in its tests
  parallel                   # runs the sharding recipe of doc/sharding.md in the tests
  timgm6mb-soundfont freepats alsa-utils  # real sound banks and sounds for those tests
  clang-format               # the format check (scripts/check-format.sh)
  build-essential dpkg-dev debhelper dh-python lintian appstream  # the Debian packages and their checks
  bash-completion zsh fish   # loading and running kvn's shell completions
  libglib2.0-bin dbus-daemon  # the file managers' actions: gio launches them, gdbus notifies
  python3-nautilus gir1.2-nautilus-4.0  # loading the GNOME Files extension
  gettext                    # kvn's message catalogues (msgfmt, xgettext)
  pybind11-dev python3-dev   # the Python module kavrin (python/)
  python3-pytest python3-soundfile python3-numpy  # its tests
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
