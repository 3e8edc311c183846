#!/usr/bin/env bash
# Installs what building and testing both platforms needs, from Debian's packages only.
set -euo pipefail
pkgs=(cmake make g++ clang libclang-rt-14-dev libgtest-dev googletest libbenchmark-dev
      libmsgpack-cxx-dev g++-mingw-w64-x86-64-posix wine wine64 clang-format
      python3-dev pybind11-dev python3-numpy python3-fsspec python3-pytest python3-tifffile
      python3-zarr python3-dask python3-distributed imagej default-jdk-headless
      passwd util-linux
      libcli11-dev nlohmann-json3-dev libxxhash-dev libpng-dev libtiff-dev pkg-config
      libfuse3-dev fuse3 attr
      libboost-dev libssl-dev python3-requests python3-aiohttp
      python3-setuptools python3-wheel python3-pip python3-venv
      nodejs chromium chromium-driver python3-selenium libz-mingw-w64-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
# Debian ships npm apart from nodejs; builds of nodejs from elsewhere carry their own npm.
if ! command -v npm >/dev/null; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends npm
fi
