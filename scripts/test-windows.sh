#!/usr/bin/env bash
# Builds the 32-bit and 64-bit Windows executables with the mingw-w64 cross compilers, checks
# what they import, and runs the unit tests and the process tests against the 64-bit build
# under Wine. Installs, with apt-get, what is missing. Needs root for its network namespaces.
#
# The process tests are the Linux build's driver (LINUX_BUILD, default build/linux; built here
# when it is missing) pointed at build/win64/vakto.exe. Every Wine process runs in a network
# namespace with only loopback up.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
root=$PWD

packages=(cmake ninja-build googletest iproute2 g++-mingw-w64-i686 g++-mingw-w64-x86-64
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine wine64)
install_missing "${packages[@]}"

for bits in 32 64; do
  cmake -S . -B "build/win$bits" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-win$bits.cmake" \
    -DVAKTO_WERROR=ON
  cmake --build "build/win$bits"
done

# On a bare Windows only system DLLs are there; ICMP.DLL must be loaded by name, not imported.
check_imports() {
  local objdump=$1 exe=$2 dll bad=0
  echo "$exe imports:"
  while read -r dll; do
    echo "  $dll"
    case "${dll,,}" in
      kernel32.dll | wsock32.dll | msvcrt.dll) ;;
      *)
        echo "  ^ not allowed" >&2
        bad=1
        ;;
    esac
  done < <("$objdump" -p "$exe" | awk '/DLL Name:/ { print $3 }')
  return $bad
}
check_imports i686-w64-mingw32-objdump build/win32/vakto.exe
check_imports x86_64-w64-mingw32-objdump build/win64/vakto.exe

if (($(id -u) == 0)); then
  isolate=(unshare -n)
else
  isolate=(unshare -rn)
fi
export WINEDEBUG=-all
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
unit_prefix=$root/build/win64/wine-unit
process_prefix=$root/build/win64/wine-process

stop_wine() {
  local prefix
  for prefix in "$unit_prefix" "$process_prefix"; do
    [[ -d $prefix ]] && WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null || true
  done
}
trap stop_wine EXIT

# A prefix is made once per build folder; its server is stopped again at once, so that the
# next Wine process starts a server of its own inside the namespace it runs in.
make_prefix() {
  local prefix=$1
  if [[ ! -f $prefix/system.reg ]]; then
    WINEPREFIX=$prefix "${isolate[@]}" sh -c "'$wine' wineboot -i >/dev/null 2>&1; '$wineserver' -w"
  fi
  WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null || true
}
make_prefix "$unit_prefix"
make_prefix "$process_prefix"

"${isolate[@]}" sh -c 'ip link set lo up && ctest --test-dir build/win64 --output-on-failure -j2'
WINEPREFIX=$unit_prefix "$wineserver" -k 2>/dev/null || true

linux_build=${LINUX_BUILD:-build/linux}
driver=$linux_build/process_test
if [[ ! -x $driver ]]; then
  cmake -S . -B "$linux_build" -G Ninja -DVAKTO_WERROR=ON
  cmake --build "$linux_build" --target process_test
fi
# The driver moves itself into a namespace of its own before it runs the tool, so the Wine
# server its first run starts, and the ICMP service under it, live in that namespace.
WINEPREFIX=$process_prefix VAKTO_LINE_END=crlf \
  VAKTO_COMMAND="$wine $root/build/win64/vakto.exe" \
  VAKTO_WINE_ICMP_INCOMPLETE="$root/build/win64/icmp-incomplete/icmp.dll" \
  "${isolate[@]}" "$driver"
