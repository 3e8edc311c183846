#!/usr/bin/env bash
# Builds both platforms and runs every test: Linux natively, Windows under Wine, then the fuzzer.
# Usage: scripts/test.sh            (from the repository root; installs what it needs)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-2}
fuzz_seconds=${FUZZ_SECONDS:-60}

scripts/install-deps.sh

echo "== Linux build"
cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux -j"$jobs"

echo "== Windows build (MinGW-w64)"
cmake -S . -B build/windows -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DZELVEM_BUILD_BENCH=OFF >/dev/null
cmake --build build/windows -j"$jobs"

status=0
echo "== Linux tests"
(cd build/linux && ctest -j"$jobs" --output-on-failure --timeout 120) || status=1
# The FUSE mount tests ran above; a build that found no libfuse3 would leave them out silently.
(cd build/linux && ctest -N -R '^vem_mount$' | grep -q 'Total Tests: 1') ||
  { echo "the vem mount tests are missing (is libfuse3-dev installed?)"; status=1; }

echo "== Installed package: a host built with find_package and with pkg-config"
scripts/test-consumer.sh build/linux || status=1

echo "== Windows tests (Wine)"
export WINEDEBUG=-all
# No network and no display here: never offer to install Wine's .NET or HTML engines.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix}
# A persistent wineserver cuts each test process's start from ~0.5 s to ~0.1 s. The first Wine
# process also starts Wine's background services, which inherit its output and keep it open:
# start them here, not inside a test whose output ctest would then wait on until its timeout.
mkdir -p "$WINEPREFIX"
wineserver -p
wine wineboot -i >/dev/null 2>&1 || true
(cd build/windows && ctest -j"$jobs" --output-on-failure --timeout 180) || status=1
wineserver -k || true

if [ -f tests/fuzz/CMakeLists.txt ] && [ "$fuzz_seconds" -gt 0 ]; then
  echo "== Fuzzing the message decoder for ${fuzz_seconds}s"
  cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DZELVEM_BUILD_FUZZ=ON -DZELVEM_BUILD_TESTS=OFF \
    -DZELVEM_BUILD_BENCH=OFF >/dev/null
  cmake --build build/fuzz -j"$jobs" --target fuzz_msg_reader
  mkdir -p build/fuzz/corpus
  build/fuzz/bin/fuzz_msg_reader -max_total_time="$fuzz_seconds" -rss_limit_mb=512 \
    build/fuzz/corpus tests/fuzz/corpus || status=1
fi

exit $status
