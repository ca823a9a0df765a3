#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build and test Quelmar.
# Runs as root (or through sudo); does nothing when all are present.
set -euo pipefail

packages=(
  build-essential cmake g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  ccache libcli11-dev
  libssl-dev libtomlplusplus-dev nlohmann-json3-dev
  gcc-arm-none-eabi binutils-arm-none-eabi
  qt6-base-dev qt6-base-dev-tools libgl-dev fonts-dejavu-core
  desktop-file-utils
  git help2man lintian dpkg-dev file man-db librsvg2-bin
  g++-mingw-w64-x86-64-posix wine64 wine
  xvfb xauth xdotool imagemagick
  ser2net
  libboost1.81-dev
  chromium chromium-driver python3-selenium
  postgresql-15 libpq-dev
  nodejs zbar-tools
)
# npm comes with some builds of nodejs; Debian's own is a package of its own.
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
