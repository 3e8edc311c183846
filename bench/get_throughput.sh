#!/usr/bin/env bash
# `vem get --all` (and with --verify) against `cp -r` + `sync` of the same bytes between two
# folders of the same file system, interleaved, as ratios of medians. Beside them the floor of
# any verified copy on this disk: `cp -r` + `sync`, then every copied byte read back past the
# page cache (`dd iflag=direct`), as --verify must.
# Usage: [MOVIES=NxWxHxF] bench/get_throughput.sh [BUILD_DIR] [REPETITIONS] [WORK_DIR]   (Linux)
set -euo pipefail
build=${1:-build/linux}
reps=${2:-3}
movies=${MOVIES:-4x1024x1024x512}  # 4 GiB: four movies of 1 GiB, two MiB a frame, unless MOVIES says
# Every copy lands on the same disk as the source folder of cp (not /dev/shm): the comparison
# is of what reaches the disk.
work=$(mktemp -d -p "${3:-${TMPDIR:-/tmp}}")
out=$work
. "$(dirname "$0")/bench_env.sh"

start_sim --movies "$movies"
# The source of cp, and the service's first draw of every frame, untimed.
"$vem" get --all "$work/src" --quiet
bytes=$(du -sb "$work/src" | cut -f1)

TIMEFORMAT='%R'
seconds() { { time "$@" >/dev/null; } 2>&1; }
# Reads every file under $1 from the disk, not the page cache.
read_back() { find "$1" -type f -exec dd if={} of=/dev/null bs=1M iflag=direct status=none \;; }
cp_s=() get_s=() verify_s=() floor_s=()
for _ in $(seq "$reps"); do
  rm -rf "$work/cp" "$work/get" "$work/verify"; sync
  cp_s+=("$(seconds sh -c "cp -r '$work/src' '$work/cp' && sync")")
  rm -rf "$work/cp"; sync
  floor_s+=("$(seconds bash -c "cp -r '$work/src' '$work/cp' && sync && $(declare -f read_back); read_back '$work/cp'")")
  rm -rf "$work/cp"; sync
  get_s+=("$(seconds "$vem" get --all "$work/get" --quiet)")
  rm -rf "$work/get"; sync
  verify_s+=("$(seconds "$vem" get --all "$work/verify" --verify --quiet)")
done
cmp "$work/src/1-sim" "$work/verify/1-sim"

cp_m=$(median "${cp_s[@]}") get_m=$(median "${get_s[@]}") verify_m=$(median "${verify_s[@]}")
floor_m=$(median "${floor_s[@]}")
awk -v b="$bytes" -v c="$cp_m" -v g="$get_m" -v v="$verify_m" -v f="$floor_m" -v r="$reps" \
  -v m="$movies" -v cs="${cp_s[*]}" -v gs="${get_s[*]}" -v vs="${verify_s[*]}" \
  -v fs="${floor_s[*]}" 'BEGIN {
  printf "movies %s, %.2f GiB, %d repetitions (seconds: cp %s | floor %s | get %s | get --verify %s)\n", m, b / 2^30, r, cs, fs, gs, vs
  printf "cp -r + sync       %6.2f s  %7.0f MB/s\n", c, b / c / 1e6
  printf "vem get --all      %6.2f s  %7.0f MB/s  speed %.2fx cp\n", g, b / g / 1e6, c / g
  printf "cp + read back     %6.2f s  %7.0f MB/s  time %.2fx cp (the floor of --verify)\n", f, b / f / 1e6, f / c
  printf "vem get --verify   %6.2f s  %7.0f MB/s  time %.2fx cp, %.2fx the floor\n", v, b / v / 1e6, v / c, v / f
}'
