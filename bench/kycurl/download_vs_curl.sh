#!/usr/bin/env bash
# kycurl against the curl tool on one large download from the bench server on 127.0.0.1: wall time
# (median of the rounds, each round runs both, in alternating order), CPU time (user + system, median)
# and peak resident memory.
#
#   bench/kycurl/download_vs_curl.sh BUILD_DIR [MIB] [ROUNDS]
#
# BUILD_DIR holds bin/kycurl and bin/kybench_server (make bench-kycurl builds them, Release). Targets:
# kycurl at most 1.5 x curl's wall time, at most 32 MiB peak resident.
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [MIB] [ROUNDS]}
mib=${2:-100}
rounds=${3:-3}
kycurl="$build/bin/kycurl"
server="$build/bin/kybench_server"
curl_tool=$(command -v curl)
time_tool=/usr/bin/time
for tool in "$kycurl" "$server" "$curl_tool" "$time_tool"; do
  [[ -x "$tool" ]] || { echo "missing: $tool" >&2; exit 1; }
done

# The server serves until its standard input ends: closing our end of the pipe stops it.
coproc SERVER { exec "$server"; }
read -r _ port <&"${SERVER[0]}"
url="http://127.0.0.1:$port/bulk/$((mib * 1024 * 1024))"

scratch=$(mktemp -d)
server_pid=$SERVER_PID
cleanup() {
  exec {SERVER[1]}>&-
  wait "$server_pid" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

# One download to /dev/null: "<wall µs> <peak KiB> <bytes> <CPU ms>".
measure() {
  local start end
  start=$(date +%s%N)
  "$time_tool" -f "%M %U %S" -o "$scratch/usage" "$@" -s -o /dev/null -w '%{size_download}' "$url" >"$scratch/size"
  end=$(date +%s%N)
  read -r rss user system <"$scratch/usage"
  echo "$(( (end - start) / 1000 )) $rss $(cat "$scratch/size") $(awk -v u="$user" -v s="$system" 'BEGIN { print (u + s) * 1000 }')"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

: >"$scratch/kycurl"
: >"$scratch/curl"
measure "$kycurl" >/dev/null  # warm-up: page cache, first connection
measure "$curl_tool" >/dev/null
for ((round = 1; round <= rounds; round++)); do
  if ((round % 2)); then order=(kycurl curl); else order=(curl kycurl); fi
  for who in "${order[@]}"; do
    if [[ $who == kycurl ]]; then measure "$kycurl" >>"$scratch/kycurl"; else measure "$curl_tool" >>"$scratch/curl"; fi
  done
done

for who in kycurl curl; do
  awk -v expected=$((mib * 1024 * 1024)) -v who="$who" \
    '$3 != expected { printf "%s received %s bytes, not %s\n", who, $3, expected; bad = 1 } END { exit bad }' \
    "$scratch/$who"
done

k_us=$(cut -d' ' -f1 "$scratch/kycurl" | median)
c_us=$(cut -d' ' -f1 "$scratch/curl" | median)
k_rss=$(cut -d' ' -f2 "$scratch/kycurl" | sort -n | tail -1)
c_rss=$(cut -d' ' -f2 "$scratch/curl" | sort -n | tail -1)
k_cpu=$(cut -d' ' -f4 "$scratch/kycurl" | median)
c_cpu=$(cut -d' ' -f4 "$scratch/curl" | median)
echo "$(uptime)"
echo "${mib} MiB download from 127.0.0.1 to /dev/null, median of $rounds rounds"
echo "runs (µs): kycurl $(cut -d' ' -f1 "$scratch/kycurl" | tr '\n' ' ')/ curl $(cut -d' ' -f1 "$scratch/curl" | tr '\n' ' ')"
awk -v ku="$k_us" -v cu="$c_us" -v kr="$k_rss" -v cr="$c_rss" -v kc="$k_cpu" -v cc="$c_cpu" 'BEGIN {
  printf "| client | wall time (ms) | CPU time (ms) | peak RSS (MiB) |\n|---|---|---|---|\n"
  printf "| kycurl | %.1f | %.0f | %.1f |\n| curl | %.1f | %.0f | %.1f |\n", ku / 1000, kc, kr / 1024, cu / 1000, cc, cr / 1024
  printf "kycurl / curl wall time: %.2f (target at most 1.50); kycurl peak RSS %.1f MiB (target at most 32)\n",
         ku / cu, kr / 1024
}'
