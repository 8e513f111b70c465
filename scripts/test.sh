#!/usr/bin/env bash
# Builds (incrementally) and runs every unit test once.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f build/build.ninja ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build build
cd build
ctest --output-on-failure -j "$(nproc)" "$@"
