#!/usr/bin/env bash
# The main job: build on Linux, serve a simulated drive, and look at it with vem, the library's
# command line -- status, listing, a frame as PNG, a TIFF stack, a watch seeing movies come and
# go -- then the same kind of movies in emulator mode.
# Usage: scripts/demo.sh           (from the repository root; installs cmake and g++ if missing)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

need=()
for p in cmake make g++ libcli11-dev nlohmann-json3-dev libpng-dev libtiff-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -q && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${need[@]}"
fi

echo "== building vemsim and vem"
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DZELVEM_BUILD_TESTS=OFF \
  -DZELVEM_BUILD_BENCH=OFF >/dev/null
cmake --build build/demo -j"${JOBS:-2}" --target vemsim vem >/dev/null
bin=$root/build/demo/bin
out=$root/build/demo-out
rm -rf "$out" && mkdir -p "$out"

# This run's own pipe folder and data folder: nothing on the machine is touched.
work=$(mktemp -d)
export ZELVEM_PIPE_DIR=$work/pipes XDG_DATA_HOME=$work/data
unset ZELVEM_ENABLE_EMULATOR
sim_pid=
watch_pid=
cleanup() {
  [ -n "$watch_pid" ] && kill "$watch_pid" 2>/dev/null && wait "$watch_pid" 2>/dev/null
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

run() { echo; echo "\$ $*"; "$@"; }
vem=$bin/vem

echo "== starting the simulated drive: two 320x240 movies and one 640x480 movie named run_a"
"$bin/vemsim" --movies 2x320x240x48 --movie 640x480x240:run_a 2>"$work/vemsim.log" &
sim_pid=$!
for _ in $(seq 100); do grep -q "vemsim: serving" "$work/vemsim.log" 2>/dev/null && break; sleep 0.1; done

run "$vem" status
run "$vem" ls -h
run "$vem" ls --filter "run*" --json
run "$vem" info vem:///3-run_a
run "$vem" frame 3-run_a 120 --stretch -o "$out/run_a-120.png"
run "$vem" export 3-run_a --frames 0:240:10 -o "$out/run_a.tif"
run "$vem" cat 3-run_a:info -o "$out/run_a.info"

echo; echo "== watching the drive while a movie is added and one removed"
"$vem" watch --timeout 4 &
watch_pid=$!
sleep 1
run "$bin/vemsim" ctl add 160 120 24 added
sleep 0.5
run "$vem" rm 1-sim
wait "$watch_pid"
watch_pid=
run "$vem" ls

"$bin/vemsim" ctl quit >/dev/null
wait "$sim_pid" || true
sim_pid=

echo; echo "== emulator mode: the same kind of movies as local files"
folder="$XDG_DATA_HOME/Quen Systems/VEM"
run "$bin/vemsim" --write-folder "$folder" --movies 2x320x240x48
run "$vem" --emulator status
run "$vem" --emulator ls
run "$vem" --emulator frame 2-sim 10 -o "$out/emulated-10.png"

echo
echo "images are in $out (16-bit grayscale PNG, and a 24-page TIFF stack for ImageJ/Fiji)"
