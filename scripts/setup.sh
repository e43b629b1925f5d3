#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing (run as root on
# a fresh Debian 12 machine; does nothing when everything is there).
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libdb5.3-dev db5.3-util
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-x86-64 wine wine64
  python3-dev cython3 python3-pytest python3-tqdm
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
