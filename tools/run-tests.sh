#!/usr/bin/env bash
# Builds everything and runs every test through ctest: the optimised build,
# the same tests under AddressSanitizer and UndefinedBehaviorSanitizer, and
# the fuzz targets (clang's libFuzzer) for a short run each.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 900)

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="-O1" -DKAV_SANITIZE=ON -DKAV_BENCH=OFF
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j"$jobs" --timeout 900)

CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAV_FUZZ=ON -DKAV_BENCH=OFF
cmake --build build-fuzz -j"$jobs"
(cd build-fuzz && ctest --output-on-failure -j"$jobs" --timeout 900)
