#!/usr/bin/env bash
# Throughput of `cat` through `vem mount` against `vem cat -o` of the same movie, interleaved.
# Usage: bench/mount_throughput.sh [BUILD_DIR] [REPETITIONS]   (Linux, needs /dev/fuse)
set -euo pipefail
build=${1:-build/linux}
reps=${2:-7}
movie=1024x1024x100:bench  # 200 MiB, two MiB a frame
. "$(dirname "$0")/bench_env.sh"

start_sim --movie "$movie"
"$vem" mount "$work/mnt"
name=$(ls "$work/mnt" | grep -v '\.' | head -1)  # the raw movie, not its views
bytes=$(stat -c %s "$work/mnt/$name")

# The service draws each frame on its first load: one untimed pass first.
"$vem" cat "$name" -o "$out/warm.dat" --quiet

# The mount's own process, whose CPU time counts for the reads through it.
daemon=$(pgrep -f "vem mount $work/mnt" | head -1)
hz=$(getconf CLK_TCK)
ticks() { awk '{ print $14 + $15 }' "/proc/$daemon/stat"; }
# "WALL CPU" of one command: its wall time, and its user+system time plus the mount's meanwhile.
TIMEFORMAT='%R %U %S'
measure() {
  local before after t
  before=$(ticks)
  t=$({ time "$@"; } 2>&1)
  after=$(ticks)
  awk -v t="$t" -v d=$((after - before)) -v hz="$hz" \
    'BEGIN { split(t, a, " "); printf "%.3f %.3f\n", a[1], a[2] + a[3] + d / hz }'
}
lib_wall=() lib_cpu=() fs_wall=() fs_cpu=()
for _ in $(seq "$reps"); do
  read -r w c < <(measure "$vem" cat "$name" -o "$out/lib.dat" --quiet)
  lib_wall+=("$w") lib_cpu+=("$c")
  read -r w c < <(measure sh -c "cat '$work/mnt/$name' > '$out/fs.dat'")
  fs_wall+=("$w") fs_cpu+=("$c")
done
cmp "$out/lib.dat" "$out/fs.dat"

awk -v b="$bytes" -v m="$movie" -v r="$reps" \
  -v lw="$(median "${lib_wall[@]}")" -v lc="$(median "${lib_cpu[@]}")" \
  -v fw="$(median "${fs_wall[@]}")" -v fc="$(median "${fs_cpu[@]}")" \
  -v al="${lib_wall[*]}" -v af="${fs_wall[*]}" 'BEGIN {
    mib = b / 1048576
    printf "movie %s (%.0f MiB), %d interleaved repetitions, medians:\n", m, mib, r
    printf "  vem cat -o         %.3f s  %4.0f MiB/s  cpu %.3f s  (wall: %s)\n", lw, mib / lw, lc, al
    printf "  cat via the mount  %.3f s  %4.0f MiB/s  cpu %.3f s  (wall: %s)\n", fw, mib / fw, fc, af
    printf "  throughput, mount / vem cat: %.2f   cpu per byte, mount / vem cat: %.2f\n", lw / fw, fc / lc
  }'

