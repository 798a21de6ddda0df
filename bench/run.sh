#!/usr/bin/env bash
# vakto against iputils ping, measured in the same run, alternating, each inside a network
# namespace of its own; prints each figure with the median over the repetitions and the ratio
# vakto/ping. Needs root.
#   bash bench/run.sh           the full run (a few minutes)
#   bash bench/run.sh --smoke   few repetitions and requests, to show that it still runs
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${LINUX_BUILD:-build/linux}
vakto=$root/$build/vakto
host_program=$root/$build/network_test_host

reps=7 requests=10000 startups=50 accuracy=50 silences=3
if [[ ${1:-} == --smoke ]]; then
  reps=2 requests=1000 startups=5 accuracy=5 silences=1
fi
for need in ping hyperfine python3 /usr/bin/time "$vakto" "$host_program"; do
  command -v "$need" >/dev/null || { echo "missing: $need" >&2; exit 1; }
done

# One network namespace for the whole run: loopback up, and the test host behind a TUN device
# for the documentation address 198.51.100.7 (never anything else).
exec unshare -n bash -s "$vakto" "$host_program" "$reps" "$requests" "$startups" "$accuracy" \
  "$silences" <<'BENCH'
set -euo pipefail
vakto=$1 host_program=$2 reps=$3 requests=$4 startups=$5 accuracy=$6 silences=$7
ip link set lo up
scratch=$(mktemp -d /tmp/vakto-bench.XXXXXX)
host_pid=
cleanup() { [[ -n $host_pid ]] && kill "$host_pid" 2>/dev/null; rm -rf "$scratch"; }
trap cleanup EXIT

now() { date +%s%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# time_of COMMAND...: wall seconds of one run, output dropped.
time_of() { local t0 t1; t0=$(now); "$@" >/dev/null 2>&1; t1=$(now); echo "$(( (t1 - t0) / 1000 ))"; }

echo "machine: $(nproc) cores, $(awk '/MemTotal/ {print int($2/1048576)}' /proc/meminfo) GiB, $(uname -r); $(date -u '+%F %T UTC')"
echo "vakto: $vakto; ping: $(ping -V 2>&1 | head -1)"
echo

# Per-request cost at no interval.
: >"$scratch/v" && : >"$scratch/p"
for ((i = 0; i < reps; i++)); do
  time_of "$vakto" -n "$requests" -y 0 127.0.0.1 >>"$scratch/v"
  time_of ping -c "$requests" -i 0 -q 127.0.0.1 >>"$scratch/p"
done
v=$(median <"$scratch/v") p=$(median <"$scratch/p")
printf 'per request (%d requests, median of %d): vakto %.2f us, ping %.2f us, ratio %s (target <= 1.5)\n' \
  "$requests" "$reps" "$(awk -v t="$v" -v n="$requests" 'BEGIN{print t/n}')" \
  "$(awk -v t="$p" -v n="$requests" 'BEGIN{print t/n}')" "$(ratio "$v" "$p")"

# Start-up and one request, timed by hyperfine without a shell between.
hyperfine -N -w 3 -r "$startups" --export-json "$scratch/start.json" \
  "$vakto -n 1 -y 0 127.0.0.1" "ping -c 1 127.0.0.1" >/dev/null 2>&1
read -r v p < <(python3 -c 'import json, sys
r = json.load(open(sys.argv[1]))["results"]
print(*(round(x["median"] * 1e6) for x in r))' "$scratch/start.json")
printf 'start-up + one request (median of %d): vakto %d us, ping %d us, ratio %s (target <= 1.0)\n' \
  "$startups" "$v" "$p" "$(ratio "$v" "$p")"

# Peak resident memory, over a run of 1000 requests each.
: >"$scratch/v" && : >"$scratch/p"
for ((i = 0; i < reps; i++)); do
  /usr/bin/time -f %M "$vakto" -n 1000 -y 0 127.0.0.1 2>>"$scratch/v" >/dev/null
  /usr/bin/time -f %M ping -c 1000 -i 0 -q 127.0.0.1 2>>"$scratch/p" >/dev/null
done
v=$(median <"$scratch/v") p=$(median <"$scratch/p")
printf 'peak RSS (median of %d): vakto %d KiB, ping %d KiB, ratio %s (target <= 1.0)\n' \
  "$reps" "$v" "$p" "$(ratio "$v" "$p")"

# Accuracy through the test host: the same request count to a host that delays its answers;
# vakto's whole milliseconds against ping's, request by request.
start_host() {
  [[ -n $host_pid ]] && { kill "$host_pid"; wait "$host_pid" 2>/dev/null || true; }
  coproc HOST { exec "$host_program" --tun vbench0 "$@"; }
  host_pid=$HOST_PID
  read -r -t 10 ready <&"${HOST[0]}"
  [[ $ready == ready ]] || { echo "test host did not start" >&2; exit 1; }
  ip addr add 192.0.2.1/32 dev vbench0 2>/dev/null || true
  ip link set vbench0 up
  ip route replace 198.51.100.0/24 dev vbench0 src 192.0.2.1
}
for delay in 20 150; do
  start_host --host 198.51.100.7 --delay "$delay"
  "$vakto" -n "$accuracy" -y 0 198.51.100.7 | sed -n 's/.*time:\([0-9]*\)ms.*/\1/p' >"$scratch/v"
  ping -c "$accuracy" -i 0.002 198.51.100.7 | sed -n 's/.*time=\([0-9.]*\) ms.*/\1/p' >"$scratch/p"
  paste "$scratch/v" "$scratch/p" | awk -v d="$delay" -v n="$accuracy" '
    { diff = $1 - $2; if (diff < 0) diff = -diff; if (diff > worst) worst = diff; count++
      if (diff > 1) over++ }
    END { printf "accuracy at %d ms (%d of %d answered by both): worst |vakto - ping| %.3f ms, %d over 1 ms (target: none)\n", d, count, n, worst, over + 0 }'
done

# The no-answer wait.
start_host --host 198.51.100.9 --answer silent
: >"$scratch/v"
for ((i = 0; i < silences; i++)); do
  time_of "$vakto" -n 1 -y 0 198.51.100.9 >>"$scratch/v"
done
v=$(median <"$scratch/v")
printf 'no-answer wait (median of %d): %.1f ms, %+.1f ms off 5000 (target within 10)\n' \
  "$silences" "$(awk -v t="$v" 'BEGIN{print t/1000}')" "$(awk -v t="$v" 'BEGIN{print t/1000 - 5000}')"
BENCH
