#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need.
set -euo pipefail

packages=(
  cmake g++ make ccache pkg-config
  qt6-base-dev libgl-dev fonts-liberation
  libjpeg62-turbo-dev libtiff-dev libpng-dev libdeflate-dev
  liblensfun-dev liblensfun-data-v1 libexiv2-dev libraw-dev
  libopencv-core-dev libopencv-imgproc-dev libopencv-photo-dev libopencv-features2d-dev libopencv-calib3d-dev
  libgtest-dev libgmock-dev libbenchmark-dev liblcms2-dev
  clang libclang-rt-14-dev
  libimage-exiftool-perl desktop-file-utils appstream dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
