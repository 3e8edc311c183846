#!/usr/bin/env bash
# The main job: build on Linux, serve a simulated drive, and use zelvem through vemtool on it --
# list movies, read frames into images, watch the drive change, then do the same in emulator mode.
# Usage: scripts/demo.sh           (from the repository root; installs cmake and g++ if missing)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

need=()
for p in cmake make g++; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -q && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${need[@]}"
fi

echo "== building vemsim and vemtool"
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DZELVEM_BUILD_TESTS=OFF \
  -DZELVEM_BUILD_BENCH=OFF >/dev/null
cmake --build build/demo -j"${JOBS:-2}" --target vemsim vemtool >/dev/null
bin=$root/build/demo/bin
out=$root/build/demo-out
rm -rf "$out" && mkdir -p "$out"

# This run's own pipe folder and data folder: nothing on the machine is touched.
work=$(mktemp -d)
export ZELVEM_PIPE_DIR=$work/pipes XDG_DATA_HOME=$work/data
unset ZELVEM_ENABLE_EMULATOR
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

run() { echo; echo "\$ $*"; "$@"; }

echo "== starting the simulated drive: two 320x240 movies and one 640x480 movie named run_a"
"$bin/vemsim" --movies 2x320x240x48 --movie 640x480x240:run_a 2>"$work/vemsim.log" &
sim_pid=$!
for _ in $(seq 100); do grep -q "vemsim: serving" "$work/vemsim.log" 2>/dev/null && break; sleep 0.1; done

run "$bin/vemtool" status
run "$bin/vemtool" ls vem:///
run "$bin/vemtool" ls vem:/// "run*"
run "$bin/vemtool" info vem:///3-run_a
run "$bin/vemtool" read vem:///3-run_a 0 240 --out "$out/run_a.raw"
run "$bin/vemtool" read vem:///3-run_a 0 3 --pgm --out "$out/run_a.pgm"
run "$bin/vemtool" info-block vem:///3-run_a --out "$out/run_a.info"

echo; echo "== watching the drive while movies come and go"
"$bin/vemtool" watch 3 &
watch_pid=$!
sleep 1
run "$bin/vemsim" ctl add 160 120 24 added
run "$bin/vemtool" rm vem:///1-sim
wait "$watch_pid"
run "$bin/vemtool" ls

"$bin/vemsim" ctl quit >/dev/null
wait "$sim_pid" || true
sim_pid=

echo; echo "== emulator mode: the same kind of movies as local files"
folder="$XDG_DATA_HOME/Quen Systems/VEM"
run "$bin/vemsim" --write-folder "$folder" --movies 2x320x240x48
export ZELVEM_ENABLE_EMULATOR=1
run "$bin/vemtool" status
run "$bin/vemtool" ls
run "$bin/vemtool" read vem:///2-sim 10 2 --pgm --out "$out/emulated.pgm"

echo
echo "images and raw frames are in $out (PGM: 16-bit greyscale)"
