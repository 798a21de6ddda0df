#!/usr/bin/env bash
# Checks what a user gets: the install tree, the Debian package, the Windows zips and the
# manuals. Installs into a temporary prefix and runs the installed tool from another folder;
# builds the packages, checks their contents and control fields, unpacks the .deb into a
# scratch root and runs it there. Every ping goes to 127.0.0.1 inside a network namespace of
# its own. Needs root for the namespaces and the capability; runs after the builds:
#   bash scripts/test-packages.sh [linux build folder] [windows build folder...]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

linux_build=${1:-build/linux}
if (($# > 1)); then
  windows_builds=("${@:2}")
else
  windows_builds=(build/win32 build/win64)
fi

packages=(zip unzip groff-base man-db libcap2-bin dpkg-dev file)
install_missing "${packages[@]}"

failures=0
passes=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
ok() {
  echo "ok: $*"
  passes=$((passes + 1))
}
skipped() { echo "SKIPPED: $*"; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The unprivileged runs need to reach the installed tree.
chmod 755 "$scratch"
elsewhere=$scratch/elsewhere
mkdir -m 777 "$elsewhere"

can_isolate=true
if ! unshare -n true 2>/dev/null; then
  can_isolate=false
fi

# Runs a command in a new network namespace with only the loopback up, from folder $1.
isolated() {
  local folder=$1
  shift
  (cd "$folder" && unshare -n sh -c 'ip link set lo up && exec "$@"' sh "$@")
}

# The same as a user without privileges, whom net.ipv4.ping_group_range does not admit (the
# sysctl belongs to the namespace, so the machine's own setting stays untouched).
isolated_unprivileged() {
  local folder=$1
  shift
  (cd "$folder" && unshare -n sh -c 'ip link set lo up &&
    echo "1 0" >/proc/sys/net/ipv4/ping_group_range &&
    exec setpriv --reuid=65534 --regid=65534 --clear-groups "$@"' sh "$@")
}

# Windows lines end in CR LF.
reply_line='^Reply from 127\.0\.0\.1: byte=[0-9]+ time:[0-9]+ms TTL:[0-9]+ at [0-9]{4}/[0-9]{2}/[0-9]{2}-[0-9]{2}:[0-9]{2}:[0-9]{2}'$'\r''?$'

# Pings 127.0.0.1 twice with the binary $2 from folder $1 and checks the lines and the status.
check_ping() {
  local folder=$1 binary=$2 what=$3 status=0
  isolated "$folder" "$binary" -n 2 -y 0 -x ping.log 127.0.0.1 >"$scratch/out" 2>"$scratch/err" ||
    status=$?
  if ((status != 0)); then
    fail "$what: status $status: $(cat "$scratch/err")"
  elif [[ $(grep -cE "$reply_line" "$scratch/out") != 2 || $(wc -l <"$scratch/out") != 2 ]]; then
    fail "$what: expected two report lines, got: $(cat "$scratch/out")"
  elif ! cmp -s "$scratch/out" "$folder/ping.log"; then
    fail "$what: the log file in the working folder differs from standard output"
  else
    ok "$what"
  fi
  rm -f "$folder/ping.log"
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$linux_build/CMakeCache.txt")
[[ -n $version ]] || {
  echo "no configured build in $linux_build" >&2
  exit 1
}
# Picks up changes to the install rules, and builds what they install.
cmake --build "$linux_build" --target vakto icmp >/dev/null

# --- The manuals -------------------------------------------------------------------------
warnings=$(groff -ww -man -z doc/vakto.1 2>&1)
warnings+=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z \
  doc/vakto.1 2>&1 >/dev/null)
if [[ -n $warnings ]]; then
  fail "the manual page has warnings: $warnings"
else
  ok "the manual page formats without warnings"
fi

# Every message the tool can write, as the tool writes it (the variable part cut off), must be
# in each manual. The texts come from real runs where one can be made here.
failures_before=$failures
man_text=$(groff -man -Tutf8 -rLL=2000n -P-cbou doc/vakto.1 2>/dev/null | tr -s ' ')
messages=(
  "Unrecognized Argument :"
  "Argument is not enough"
  "Can't create file:"
  "Value out of range for -n:"
  "(allowed: 0 or more)"
  "Value out of range for -l:"
  "(allowed: 0 to 65500)"
  "Value out of range for -y:"
  "Unable to locate ICMP.DLL that I need"
  "Can't find IP address for "
  "Failed to get proc addr for function."
  "Unable to open ping service."
  "Failed to allocate global ping packet buffer."
  "Can't write to file:"
  "Can't write to standard output."
  "Failed to get response."
)
for message in "${messages[@]}"; do
  grep -qF -- "$message" <<<"$man_text" || fail "the manual page lacks \"$message\""
  grep -qF -- "$message" doc/vakto.txt || fail "the text manual lacks \"$message\""
  grep -qF -- "$message" README.md || fail "README.md lacks \"$message\""
done
# The manuals must not drift from the tool: its real messages start with the texts above. Even
# these runs stay inside a namespace: resolving host.invalid may ask a name server.
tool=$(realpath "$linux_build/vakto")
if $can_isolate; then
  real_messages=$(
    isolated "$elsewhere" "$tool" -q 127.0.0.1 2>&1
    isolated "$elsewhere" "$tool" -n 127.0.0.1 2>&1
    isolated "$elsewhere" "$tool" -x "$scratch/no/such/folder/log" 127.0.0.1 2>&1
    isolated "$elsewhere" "$tool" -n " -5" 127.0.0.1 2>&1
    isolated "$elsewhere" "$tool" -l 65501 127.0.0.1 2>&1
    isolated "$elsewhere" "$tool" -y " -1" 127.0.0.1 2>&1
    isolated "$elsewhere" "$tool" -n 1 host.invalid 2>&1
  ) || true
  for prefix in "Unrecognized Argument :-q" "Argument is not enough" "Can't create file:$scratch" \
    "Value out of range for -n: -5 (allowed: 0 or more)" \
    "Value out of range for -l: 65501 (allowed: 0 to 65500)" \
    "Value out of range for -y: -1 (allowed: 0 or more)" "Can't find IP address for host.invalid"; do
    grep -qF -- "$prefix" <<<"$real_messages" || fail "the tool no longer says \"$prefix\""
  done
else
  skipped "comparing the manuals with the tool's messages: no network namespace here (not root)"
fi
# The usage screen as the README shows it.
while IFS= read -r line; do
  [[ -z $line ]] || grep -qxF -- "$line" README.md || fail "README.md lacks the usage line \"$line\""
done < <("$tool" 2>&1 || true)
((failures > failures_before)) || ok "the manuals name every message and the usage screen"

# --- Install into a temporary prefix -----------------------------------------------------
prefix=$scratch/prefix
cmake --install "$linux_build" --prefix "$prefix" >"$scratch/install.out"
expected_files="bin/vakto
lib/vakto/icmp.so
share/doc/vakto/README.md
share/man/man1/vakto.1"
actual_files=$(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)
if [[ $actual_files != "$expected_files" ]]; then
  fail "installed files: expected $expected_files, got $actual_files"
else
  ok "cmake --install puts bin/vakto, lib/vakto/icmp.so and the manual page in place"
fi
grep -q '^-- vakto: .*cap_net_raw' "$scratch/install.out" ||
  fail "the install does not say what became of CAP_NET_RAW: $(cat "$scratch/install.out")"

if ! $can_isolate; then
  skipped "running the installed tool: no network namespace can be made here (not root)"
else
  check_ping "$elsewhere" "$prefix/bin/vakto" "the installed tool pings 127.0.0.1 from another folder"
  # Found through PATH, the tool still finds its helper library through its own location.
  isolated "$elsewhere" env PATH="$prefix/bin:$PATH" vakto -n 1 -y 0 127.0.0.1 >"$scratch/out" 2>&1 &&
    grep -qE "$reply_line" "$scratch/out" && ok "the installed tool runs from PATH" ||
    fail "the installed tool found through PATH: $(cat "$scratch/out")"

  # The capability is what lets a user that ping_group_range leaves out send echo requests.
  if [[ $(id -u) != 0 ]] || ! getcap "$prefix/bin/vakto" | grep -q cap_net_raw; then
    skipped "the capability: the install could not set it here ($(grep 'vakto:' "$scratch/install.out"))"
  else
    cp "$prefix/bin/vakto" "$prefix/bin/vakto-plain" # a copy carries no capability
    status=0
    isolated_unprivileged "$elsewhere" "$prefix/bin/vakto" -n 1 -y 0 127.0.0.1 >"$scratch/out" \
      2>&1 || status=$?
    if ((status != 0)) || ! grep -qE "$reply_line" "$scratch/out"; then
      fail "an unprivileged user with the capability: status $status: $(cat "$scratch/out")"
    else
      ok "with cap_net_raw+ep an unprivileged user outside ping_group_range can ping"
    fi
    status=0
    isolated_unprivileged "$elsewhere" "$prefix/bin/vakto-plain" -n 1 -y 0 127.0.0.1 \
      >"$scratch/out" 2>&1 || status=$?
    if ((status != 5)) || [[ $(cat "$scratch/out") != "Unable to open ping service." ]]; then
      fail "an unprivileged user without the capability: status $status: $(cat "$scratch/out")"
    else
      ok "without it the same user gets \"Unable to open ping service.\" and status 5"
    fi
    rm -f "$prefix/bin/vakto-plain"
  fi
fi

# --- The Debian package ------------------------------------------------------------------
arch=$(dpkg --print-architecture)
deb=$scratch/deb/vakto_${version}_${arch}.deb
(cd "$linux_build" && cpack -G DEB -B "$scratch/deb" >"$scratch/cpack.out" 2>&1) ||
  fail "cpack -G DEB: $(cat "$scratch/cpack.out")"
if [[ ! -f $deb ]]; then
  fail "no package $deb: $(ls "$scratch/deb")"
else
  echo "dpkg-deb -c $(basename "$deb"):"
  dpkg-deb -c "$deb" | tee "$scratch/deb.list"
  deb_files=$(awk '$1 !~ /^d/ {print $1, $2, $6}' "$scratch/deb.list" | sort -k3)
  expected="-rwxr-xr-x root/root ./usr/bin/vakto
-rw-r--r-- root/root ./usr/lib/vakto/icmp.so
-rw-r--r-- root/root ./usr/share/doc/vakto/README.md
-rw-r--r-- root/root ./usr/share/man/man1/vakto.1"
  [[ $deb_files == "$expected" ]] && ok "the .deb holds the tool, its library and manuals" ||
    fail "the .deb holds: $deb_files"

  dpkg-deb -I "$deb" >"$scratch/deb.info"
  for field in "Package: vakto" "Version: $version" "Architecture: $arch" "Section: net" \
    "Recommends: libcap2-bin"; do
    grep -qx " $field" "$scratch/deb.info" || fail "the .deb's control lacks \"$field\""
  done
  grep -qE '^ Depends: .*libc6 \(>= [0-9.]+\)' "$scratch/deb.info" ||
    fail "the .deb declares no dependency on the C library"
  grep -qE '^ Maintainer: .+' "$scratch/deb.info" || fail "the .deb names no maintainer"
  dpkg-deb -I "$deb" postinst >"$scratch/postinst" || fail "the .deb has no postinst"
  grep -q 'setcap cap_net_raw+ep /usr/bin/vakto' "$scratch/postinst" ||
    fail "the postinst does not give the capability"
  sh -n "$scratch/postinst" || fail "the postinst is not a valid shell script"
  dpkg-deb --ctrl-tarfile "$deb" | tar -tvf - | grep -qE '^-rwxr-xr-x .* \./postinst$' ||
    fail "the postinst is not executable"
  ok "the .deb's control fields and postinst"

  root=$scratch/root
  dpkg -x "$deb" "$root"
  if $can_isolate; then
    check_ping "$elsewhere" "$root/usr/bin/vakto" "the unpacked .deb's tool pings 127.0.0.1"
  else
    skipped "running the unpacked .deb: no network namespace can be made here (not root)"
  fi
fi

# --- The Windows zips --------------------------------------------------------------------
for build in "${windows_builds[@]}"; do
  if [[ ! -f $build/CMakeCache.txt ]]; then
    skipped "the zip of $build: that build does not exist"
    continue
  fi
  cmake --build "$build" --target vakto >/dev/null
  name=$(sed -n 's/^set(CPACK_PACKAGE_FILE_NAME "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
  kind=${name##*-}
  zip=$scratch/$kind/$name.zip
  (cd "$build" && cpack -G ZIP -B "$scratch/$kind" >"$scratch/cpack.out" 2>&1) ||
    fail "cpack -G ZIP in $build: $(cat "$scratch/cpack.out")"
  if [[ ! -f $zip ]]; then
    fail "no package $zip"
    continue
  fi
  echo "unzip -l $(basename "$zip"):"
  unzip -l "$zip" | tee "$scratch/zip.list"
  entries=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
  [[ $entries == "$name/vakto.exe
$name/vakto.txt" ]] && ok "$name.zip holds vakto.exe and vakto.txt" || fail "$name.zip holds: $entries"

  unpacked=$scratch/$kind/unpacked
  unzip -q "$zip" -d "$unpacked"
  manual=$unpacked/$name/vakto.txt
  # Every line of the Windows manual ends in CR LF, and the version is filled in.
  if grep -q $'[^\r]$' "$manual" || grep -q '^$' "$manual" || ! grep -q "vakto $version" "$manual"; then
    fail "$name/vakto.txt: not CR LF throughout, or without its version"
  else
    ok "$name/vakto.txt has CR LF line ends"
  fi
  [[ $kind == win64 ]] && format='PE32\+ executable.*x86-64' || format='PE32 executable.*Intel 80386'
  file "$unpacked/$name/vakto.exe" | grep -qE "$format" && ok "$name/vakto.exe is a $kind program" ||
    fail "$name/vakto.exe: $(file -b "$unpacked/$name/vakto.exe")"

  # The 64-bit program runs here under Wine: the packed (stripped) one must still ping.
  if [[ $kind == win64 && -x /usr/lib/wine/wine64 ]] && $can_isolate; then
    status=0
    isolated "$elsewhere" env WINEDEBUG=-all WINEPREFIX="$scratch/wine" /usr/lib/wine/wine64 \
      "$unpacked/$name/vakto.exe" -n 1 -y 0 127.0.0.1 >"$scratch/out" 2>/dev/null || status=$?
    if ((status != 0)) || ! grep -qE "$reply_line" "$scratch/out"; then
      fail "$name/vakto.exe under Wine: status $status: $(cat "$scratch/out")"
    else
      ok "$name/vakto.exe from the zip pings 127.0.0.1 under Wine"
    fi
  fi
done

echo "packages: $passes passed, $failures failed"
((failures == 0))
