#!/usr/bin/env bash
# Builds every target and runs the whole test suite. Installs, with apt-get, what a fresh
# Debian 12 machine lacks. Needs root: the process tests make network namespaces of their own.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

# iputils ping is the peer the network tests measure against.
packages=(g++ cmake ninja-build libgtest-dev iproute2 iputils-ping procps util-linux)
install_missing "${packages[@]}"

cmake -S . -B build/linux -G Ninja -DVAKTO_WERROR=ON
cmake --build build/linux
ctest --test-dir build/linux --output-on-failure -j2

bash scripts/test-windows.sh
bash scripts/test-packages.sh build/linux build/win32 build/win64
bash scripts/test-reliability.sh
