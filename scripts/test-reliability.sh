#!/usr/bin/env bash
# Reliability checks beyond the ordinary suite: the whole unit and process suite under
# AddressSanitizer + UndefinedBehaviorSanitizer, each fuzz target for a bounded time, a long
# continuous run watched for growing memory or descriptors, valgrind memcheck on every exit
# path, a broken pipe under Wine, and a short smoke run of the benchmarks. Needs root
# (namespaces, mounts) and the Linux build.
#   FUZZ_SECONDS (60) bounds each fuzz target; LONG_RUN_REQUESTS (100000) the long run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
linux_build=${LINUX_BUILD:-build/linux}
fuzz_seconds=${FUZZ_SECONDS:-60}
long_requests=${LONG_RUN_REQUESTS:-100000}

source scripts/lib.sh
# hyperfine is for bench/run.sh --smoke, which test.sh may run after this.
install_missing clang libclang-rt-14-dev valgrind iputils-ping util-linux procps hyperfine

scratch=$(mktemp -d /tmp/vakto-reliability.XXXXXX)
chmod 755 "$scratch"
cleanup() { rm -rf "$scratch"; }
trap cleanup EXIT
step() { echo "== $* ($(date +%T))"; }

if [[ ! -x $linux_build/vakto ]]; then
  cmake -S . -B "$linux_build" -G Ninja -DVAKTO_WERROR=ON
  cmake --build "$linux_build"
fi

step "sanitizer build and suite"
CC=clang CXX=clang++ cmake -S . -B build/asan -G Ninja -DVAKTO_SANITIZE=ON -DVAKTO_WERROR=ON >/dev/null
cmake --build build/asan
# Reports of the tool's own runs would only show as a changed status or text in the tests;
# written to files, every one of them fails the step, whichever process made it.
reports=$scratch/sanitizer
mkdir -m 1777 "$reports"
ASAN_OPTIONS=log_path=$reports/asan:detect_leaks=1:abort_on_error=0 \
  UBSAN_OPTIONS=log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j2
if compgen -G "$reports/*" >/dev/null; then
  cat "$reports"/* >&2
  echo "sanitizer reports above" >&2
  exit 1
fi

step "fuzz targets, ${fuzz_seconds}s each"
cmake -S fuzz -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/fuzz
for target in options_fuzzer packet_fuzzer; do
  work=$scratch/fuzz-$target
  mkdir -p "$work/corpus"
  # New inputs go to a scratch corpus; the committed one is only read.
  if ! build/fuzz/$target -max_total_time="$fuzz_seconds" -timeout=5 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" "$root/fuzz/corpus/$target" \
    >"$work/log" 2>&1; then
    tail -60 "$work/log" >&2
    echo "$target failed; the input is in $work (kept: see above)" >&2
    trap - EXIT
    exit 1
  fi
  grep -E '^stat::number_of_executed_units|^Done' "$work/log" || true
done

step "long run: $long_requests requests, memory and descriptors"
# Runs inside a network namespace of its own with only loopback up.
unshare -n bash -s "$root/$linux_build/vakto" "$long_requests" "$scratch" <<'LONG'
set -euo pipefail
tool=$1 requests=$2 scratch=$3
ip link set lo up
out=$scratch/long.out
"$tool" -t -y 0 127.0.0.1 >"$out" 2>"$scratch/long.err" &
pid=$!
lines() { wc -l <"$out"; }
wait_lines() {
  local deadline=$((SECONDS + 300))
  while (($(lines) < $1)); do
    kill -0 "$pid" 2>/dev/null || { echo "the tool ended early:" >&2; cat "$scratch/long.err" >&2; exit 1; }
    ((SECONDS < deadline)) || { echo "too slow: $(lines) lines" >&2; kill "$pid"; exit 1; }
    sleep 0.2
  done
}
sample() { echo "$(awk '/^VmRSS/ {print $2}' /proc/$pid/status) $(ls /proc/$pid/fd | wc -l)"; }
wait_lines 2000
read -r rss_start fds_start < <(sample)
wait_lines $((requests + 2000))
read -r rss_end fds_end < <(sample)
done_lines=$(lines)
kill "$pid"
wait "$pid" 2>/dev/null || true
echo "requests $done_lines; VmRSS ${rss_start} -> ${rss_end} KiB; open fds ${fds_start} -> ${fds_end}"
if [[ -s $scratch/long.err ]] || grep -qv '^Reply from 127.0.0.1: ' "$out"; then
  echo "unexpected output in the long run" >&2
  exit 1
fi
((rss_end - rss_start < 256)) || { echo "resident memory grew" >&2; exit 1; }
((fds_end == fds_start)) || { echo "descriptors leaked" >&2; exit 1; }
LONG
rm -f "$scratch/long.out"

step "valgrind memcheck on every exit path"
copy_missing=$scratch/missing && mkdir -p "$copy_missing" && cp "$linux_build/vakto" "$copy_missing/"
copy_incomplete=$scratch/incomplete && mkdir -p "$copy_incomplete" &&
  cp "$linux_build/vakto" "$copy_incomplete/" &&
  cp "$linux_build/tests/process/icmp_incomplete.so" "$copy_incomplete/icmp.so"
mkdir -m 1777 "$scratch/memcheck"  # the unprivileged run writes its report here too
chmod -R a+rX "$scratch"
unshare -n bash -s "$root/$linux_build/vakto" "$copy_missing/vakto" "$copy_incomplete/vakto" \
  "$scratch" <<'MEMCHECK'
set -euo pipefail
tool=$1 missing=$2 incomplete=$3 scratch=$4
ip link set lo up
failed=0
# check STATUS NAME [RUNNER...]: runs tool_run under memcheck (behind RUNNER, if any), wants
# STATUS back and a clean report.
check() {
  local want=$1 name=$2
  shift 2
  local log=$scratch/memcheck/$name.log status=0
  "$@" valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect,possible \
    --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=99 \
    --log-file="$log" "${tool_run[@]}" >/dev/null 2>&1 || status=$?
  if ((status != want)) || [[ -s $log ]]; then
    echo "memcheck $name: status $status (want $want)" >&2
    cat "$log" >&2
    failed=1
  else
    echo "memcheck $name: status $status, clean"
  fi
}
tool_run=("$tool" -n 300 -y 0 127.0.0.1); check 0 success
tool_run=("$tool" -n 100 -y 0 -l 0 -x "$scratch/memcheck.log" localhost); check 0 success-log
tool_run=("$tool" -q 127.0.0.1); check 1 argument-error
tool_run=("$tool" -l 70000 127.0.0.1); check 1 range-error
tool_run=("$missing" -n 1 -y 0 127.0.0.1); check 2 no-library
tool_run=("$tool" -n 1 -y 0 name.invalid); check 3 no-address
tool_run=("$incomplete" -n 1 -y 0 127.0.0.1); check 4 no-entry-point
# An unprivileged user for whom neither kind of ICMP socket opens.
sysctl -qw net.ipv4.ping_group_range="1 0"
tool_run=("$tool" -n 1 -y 0 127.0.0.1)
check 5 no-service setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all
exit $failed
MEMCHECK

step "broken pipe under Wine"
if [[ -x build/win64/vakto.exe && -x /usr/lib/wine/wine64 ]]; then
  export WINEDEBUG=-all WINEPREFIX=$root/build/win64/wine-reliability
  if [[ ! -f $WINEPREFIX/system.reg ]]; then
    unshare -n sh -c "/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1; /usr/lib/wine/wineserver -w"
  fi
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  # The test moves itself into a namespace of its own, so the Wine server lives there too.
  VAKTO_LINE_END=crlf VAKTO_COMMAND="/usr/lib/wine/wine64 $root/build/win64/vakto.exe" \
    build/asan/write_failure_test --gtest_filter='*BrokenPipe*:*UnwritableOutput*'
  /usr/lib/wine/wineserver -k 2>/dev/null || true
else
  echo "no Windows build in build/win64: scripts/test-windows.sh makes it" >&2
  exit 1
fi

step "benchmark smoke run"
bash bench/run.sh --smoke

step "reliability checks passed"
