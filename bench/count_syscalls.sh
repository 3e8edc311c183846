#!/usr/bin/env bash
# System calls per frame read on both sides: strace -c over N frame reads through the library
# against vemsim, less the same run with no frame read (start-up, open, close), divided by N.
# Usage: bench/count_syscalls.sh [BUILD_DIR] [FRAMES] [WxH]   (default build/linux 2000 640x480)
set -euo pipefail
build=${1:-build/linux}
frames=${2:-2000}
shape=${3:-640x480}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
export ZELVEM_PIPE_DIR=$dir XDG_DATA_HOME=$dir
unset ZELVEM_ENABLE_EMULATOR

# One traced vemsim per client run, so that each side's counts belong to that run alone.
run() {
  local n=$1
  strace -f -c -o "$dir/sim$n.txt" "$build/bin/vemsim" --movie "${shape}x16:m" 2>"$dir/sim$n.log" &
  local sim=$!
  for _ in $(seq 100); do grep -q "vemsim: serving" "$dir/sim$n.log" 2>/dev/null && break; sleep 0.1; done
  strace -f -c -o "$dir/client$n.txt" "$build/bin/bench_frame_read" --read-frames "$n" /1-m
  "$build/bin/vemsim" ctl quit >/dev/null
  wait "$sim"
}

# The calls column of one system call (0 when absent) in an strace -c summary.
calls() { awk -v name="$2" '$NF == name { print $4; found = 1 } END { if (!found) print 0 }' "$1"; }
total() { awk '$NF == "total" { print $4 }' "$1"; }

run 0
run "$frames"
printf '%-8s %-10s %10s %10s %10s\n' side call "$frames" 0 per-frame
for side in client sim; do
  for call in sendto recvfrom total; do
    if [ "$call" = total ]; then
      a=$(total "$dir/$side$frames.txt"); b=$(total "$dir/${side}0.txt")
    else
      a=$(calls "$dir/$side$frames.txt" "$call"); b=$(calls "$dir/${side}0.txt" "$call")
    fi
    printf '%-8s %-10s %10s %10s %10.2f\n' "$side" "$call" "$a" "$b" "$(echo "($a - $b) / $frames" | bc -l)"
  done
done
