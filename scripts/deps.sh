#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs with apt-get whatever the build and the tests need and this machine lacks.
set -euo pipefail

packages=(cmake g++ make pkg-config
  libavformat-dev libavcodec-dev libavfilter-dev libswscale-dev libavutil-dev
  libjpeg62-turbo-dev libpng-dev libgif-dev libimagequant-dev libtiff-dev libwebp-dev
  libavif-dev libjxl-dev zlib1g-dev
  libpango1.0-dev libcairo2-dev libfontconfig-dev fonts-dejavu-core fonts-ipafont-gothic
  libgtest-dev ffmpeg locales)
if [ "${VGRID_TEST_DEPS:-0}" = 1 ]; then
  packages+=(clang clang-format libclang-rt-14-dev valgrind parallel
    dpkg-dev debhelper lintian git)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
