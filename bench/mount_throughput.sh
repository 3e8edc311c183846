#!/usr/bin/env bash
# Throughput of `cat` through `vem mount` against `vem cat -o` of the same movie, interleaved.
# Usage: bench/mount_throughput.sh [BUILD_DIR] [REPETITIONS]   (Linux, needs /dev/fuse)
set -euo pipefail
build=${1:-build/linux}
reps=${2:-7}
vem=$(cd "$build/bin" && pwd)/vem
vemsim=$(cd "$build/bin" && pwd)/vemsim
movie=1024x1024x100:bench  # 200 MiB, one MiB a frame

work=$(mktemp -d)
export ZELVEM_PIPE_DIR=$work/pipe XDG_DATA_HOME=$work/data
unset ZELVEM_ENABLE_EMULATOR
mkdir -p "$ZELVEM_PIPE_DIR" "$XDG_DATA_HOME" "$work/mnt"
sim=""
cleanup() {
  fusermount3 -u "$work/mnt" 2>/dev/null || fusermount3 -uz "$work/mnt" 2>/dev/null || true
  [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$vemsim" --movie "$movie" 2>"$work/sim.log" &
sim=$!
for _ in $(seq 100); do grep -q serving "$work/sim.log" && break; sleep 0.05; done
"$vem" mount "$work/mnt"
name=$(ls "$work/mnt")
bytes=$(stat -c %s "$work/mnt/$name")

# The service draws each frame on its first load: one untimed pass first.
"$vem" cat "$name" -o "$work/warm.dat" --quiet

seconds() {
  local start end
  start=$(date +%s%N)
  "$@"
  end=$(date +%s%N)
  awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }'
}
lib=()
fs=()
for _ in $(seq "$reps"); do
  lib+=("$(seconds "$vem" cat "$name" -o "$work/lib.dat" --quiet)")
  fs+=("$(seconds sh -c "cat '$work/mnt/$name' > '$work/fs.dat'")")
done
cmp "$work/lib.dat" "$work/fs.dat"

median() { printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"; }
ml=$(median "${lib[@]}")
mf=$(median "${fs[@]}")
awk -v b="$bytes" -v l="$ml" -v f="$mf" -v m="$movie" -v r="$reps" -v al="${lib[*]}" \
  -v af="${fs[*]}" 'BEGIN {
    mib = b / 1048576
    printf "movie %s (%.0f MiB), %d interleaved repetitions, medians:\n", m, mib, r
    printf "  vem cat -o         %.3f s  %4.0f MiB/s   (all: %s)\n", l, mib / l, al
    printf "  cat via the mount  %.3f s  %4.0f MiB/s   (all: %s)\n", f, mib / f, af
    printf "  mount / vem cat    %.2f\n", l / f
  }'
