#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with, and only those that are missing.
set -euo pipefail

packages=(
  cmake g++ make
  libeigen3-dev libnanoflann-dev libsuitesparse-dev
  libgtest-dev libbenchmark-dev
  nlohmann-json3-dev libcli11-dev
  clang libclang-rt-14-dev clang-format-14
  pybind11-dev python3-dev python3-numpy python3-pytest python3-dask
)
if [ "${VELM_WITH_OPEN3D:-0}" = 1 ]; then
  packages+=(python3-open3d)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg -s "$p" >/dev/null 2>&1 || ! dpkg -s "$p" | grep -q '^Status: install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
