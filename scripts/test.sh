#!/usr/bin/env bash
# Builds every target and runs the whole test suite. Installs, with apt-get, what a fresh
# Debian 12 machine lacks. Needs root: the process tests make network namespaces of their own.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake ninja-build libgtest-dev iproute2)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

cmake -S . -B build/linux -G Ninja -DVAKTO_WERROR=ON
cmake --build build/linux
ctest --test-dir build/linux --output-on-failure -j2
