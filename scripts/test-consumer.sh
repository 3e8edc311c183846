#!/usr/bin/env bash
# Installs a Linux build into a temporary prefix, builds tests/consumer against it with CMake
# and with pkg-config, and runs both against the installed vemsim.
# Usage: scripts/test-consumer.sh [BUILD_DIR]     (default build/linux, already built)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name zelvem.pc)")/..

echo "== consumer through find_package(zelvem)"
cmake -S "$root/tests/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake-build" >/dev/null

echo "== consumer through pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
g++ -std=c++17 -o "$work/consumer-pc" "$root/tests/consumer/consumer.cpp" \
  $(pkg-config --cflags --libs zelvem)

export ZELVEM_PIPE_DIR=$work/pipes XDG_DATA_HOME=$work/data
unset ZELVEM_ENABLE_EMULATOR
"$prefix/bin/vemsim" --movies 3x64x48x4 2>"$work/vemsim.log" &
sim_pid=$!
for _ in $(seq 100); do grep -q "vemsim: serving" "$work/vemsim.log" && break; sleep 0.1; done

"$work/cmake-build/consumer" 3
LD_LIBRARY_PATH=$libdir "$work/consumer-pc" 3
"$prefix/bin/vem" ls >/dev/null
"$prefix/bin/vemsim" ctl quit >/dev/null
wait "$sim_pid"
sim_pid=
echo "consumer: both builds ran against the installed vemsim"
