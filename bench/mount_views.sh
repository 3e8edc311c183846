#!/usr/bin/env bash
# The mount's views against the raw movies, in the same run: reading a whole NAME.ome.tif vs
# the raw NAME (interleaved), and `ls -l` per entry of a mount of many movies with their views vs
# the same mount with --no-views (each listing on a fresh mount, so the kernel has nothing cached).
# Usage: bench/mount_views.sh [BUILD_DIR] [REPETITIONS] [MOVIES]   (Linux, needs /dev/fuse)
set -euo pipefail
build=${1:-build/linux}
reps=${2:-7}
count=${3:-10000}
movie=1024x1024x100:bench  # 200 MiB, two MiB a frame
. "$(dirname "$0")/bench_env.sh"

seconds() { local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null; t1=$(date +%s.%N); echo "$t1 - $t0" | bc -l; }

# ---- whole reads: NAME.ome.tif vs NAME ----
start_sim --movie "$movie"
"$vem" mount "$work/mnt"
name=$(ls "$work/mnt" | grep -v '\.' | head -1)
bytes=$(stat -c %s "$work/mnt/$name")
cat "$work/mnt/$name" >/dev/null  # vemsim draws each frame on its first load
raw=() ome=()
for _ in $(seq "$reps"); do
  raw+=("$(seconds sh -c "cat '$work/mnt/$name' > '$out/raw.dat'")")
  ome+=("$(seconds sh -c "cat '$work/mnt/$name.ome.tif' > '$out/view.ome.tif'")")
done
cmp -i "$(( $(stat -c %s "$out/view.ome.tif") - bytes )):0" "$out/view.ome.tif" "$out/raw.dat"
unmount; wait_unmounted; stop_sim
rm -f "$out/raw.dat" "$out/view.ome.tif"

# ---- ls -l: every entry with its views vs the raw entries ----
start_sim --movies "${count}x8x8x2"
plain=() views=()
for _ in $(seq "$reps"); do
  "$vem" mount "$work/mnt" --no-views
  n_plain=$(ls "$work/mnt" | wc -l)
  plain+=("$(seconds ls -l "$work/mnt")")
  unmount; wait_unmounted
  "$vem" mount "$work/mnt"
  n_views=$(ls "$work/mnt" | wc -l)
  views+=("$(seconds ls -l "$work/mnt")")
  unmount; wait_unmounted
done

awk -v b="$bytes" -v m="$movie" -v r="$reps" -v rw="$(median "${raw[@]}")" \
  -v ow="$(median "${ome[@]}")" -v ar="${raw[*]}" -v ao="${ome[*]}" \
  -v np="$n_plain" -v nv="$n_views" -v pw="$(median "${plain[@]}")" -v vw="$(median "${views[@]}")" \
  -v ap="${plain[*]}" -v av="${views[*]}" 'BEGIN {
    mib = b / 1048576
    printf "whole reads through the mount, movie %s (%.0f MiB), %d interleaved repetitions, medians:\n", m, mib, r
    printf "  NAME          %.3f s  %5.0f MiB/s  (%s)\n", rw, mib / rw, ar
    printf "  NAME.ome.tif  %.3f s  %5.0f MiB/s  (%s)\n", ow, mib / ow, ao
    printf "  throughput, ome.tif / raw: %.2f\n", rw / ow
    printf "ls -l of a fresh mount, %d repetitions, medians:\n", r
    printf "  --no-views  %6d entries  %.3f s  %.1f us/entry  (%s)\n", np, pw, pw / np * 1e6, ap
    printf "  views       %6d entries  %.3f s  %.1f us/entry  (%s)\n", nv, vw, vw / nv * 1e6, av
    printf "  per entry, views / raw: %.2f\n", (vw / nv) / (pw / np)
  }'
