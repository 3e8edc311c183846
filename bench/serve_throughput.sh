#!/usr/bin/env bash
# A whole-movie GET from `vem serve` over loopback (curl -o /dev/null) against `vem cat NAME >
# /dev/null` of the same movie, interleaved, as a ratio of medians.
# Usage: bench/serve_throughput.sh [BUILD_DIR] [REPETITIONS]   (Linux, needs curl)
set -euo pipefail
build=${1:-build/linux}
reps=${2:-7}
movie=1024x1024x200:big  # 400 MiB, two MiB a frame
. "$(dirname "$0")/bench_env.sh"

start_sim --movie "$movie"
token=bench-token-0123456789abcdef
printf '%s\n' "$token" >"$work/token"
"$vem" serve --listen 127.0.0.1:0 --token-file "$work/token" >"$work/serve.out" 2>"$work/serve.log" &
server=$!
trap 'kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; cleanup' EXIT
for _ in $(seq 200); do grep -q serving "$work/serve.out" && break; sleep 0.05; done
base=$(grep -o 'http://[^ ]*/' "$work/serve.out" | head -1)
name=1-big
bytes=$(curl -sfI -H "Authorization: Bearer $token" "${base}files/$name" |
  tr -d '\r' | awk 'tolower($1) == "content-length:" { print $2 }')
"$vem" cat "$name" >/dev/null  # vemsim draws each frame on its first load

TIMEFORMAT='%R'
seconds() { { time "$@" >/dev/null; } 2>&1; }
cat_s=() get_s=()
for _ in $(seq "$reps"); do
  cat_s+=("$(seconds sh -c "'$vem' cat $name > /dev/null")")
  get_s+=("$(seconds curl -sf -o /dev/null -H "Authorization: Bearer $token" "${base}files/$name")")
done
awk -v b="$bytes" -v c="$(median "${cat_s[@]}")" -v g="$(median "${get_s[@]}")" -v r="$reps" \
  -v cs="${cat_s[*]}" -v gs="${get_s[*]}" 'BEGIN {
  printf "movie of %.0f MiB, %d interleaved repetitions (seconds: vem cat %s | curl %s)\n", b / 1048576, r, cs, gs
  printf "vem cat > /dev/null   %.3f s  %6.0f MB/s\n", c, b / c / 1e6
  printf "curl -o /dev/null     %.3f s  %6.0f MB/s  speed %.2fx vem cat\n", g, b / g / 1e6, c / g
}'
