#!/usr/bin/env bash
# Fuzzes every parser of untrusted input. Usage: scripts/fuzz.sh [seconds] [target...]
#   seconds > 0: each target runs that long (default 60), growing a working corpus under
#                build-fuzz/corpus/<target> from the seeds in Fuzz/Corpus/<target>; crashes, hangs
#                and leaks stop it and leave the input in build-fuzz/findings/.
#   seconds = 0: each target runs once over its seed corpus only (what CI does; seconds).
# Builds with clang (the Debian clang-16 that knows _Float16) into build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${1:-60}
shift || true
CXX_CLANG=${QUORVEL_FUZZ_CXX:-clang++-16}
CC_CLANG=${QUORVEL_FUZZ_CC:-clang-16}
LAUNCHER=()
if command -v ccache >/dev/null; then
  LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$CXX_CLANG" \
  -DCMAKE_C_COMPILER="$CC_CLANG" -DQUORVEL_FUZZ=ON -DQUORVEL_TESTS=OFF -DQUORVEL_BENCHMARKS=OFF \
  -DQUORVEL_DESKTOP=OFF "${LAUNCHER[@]}" >/dev/null
cmake --build build-fuzz -j"${QUORVEL_JOBS:-3}" --target fuzzers

TARGETS=("$@")
if [ ${#TARGETS[@]} -eq 0 ]; then
  for dir in Fuzz/Corpus/*/; do TARGETS+=("$(basename "$dir")"); done
fi
# Reports name functions and lines when llvm-symbolizer is there.
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ] && command -v llvm-symbolizer >/dev/null; then
  export ASAN_SYMBOLIZER_PATH=$(command -v llvm-symbolizer)
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for target in "${TARGETS[@]}"; do
  binary=build-fuzz/Fuzz/$target
  seeds=Fuzz/Corpus/$target
  if [ "$SECONDS_PER_TARGET" = 0 ]; then
    if ! "$binary" -timeout=10 -rss_limit_mb=2048 "$seeds"/* >"build-fuzz/$target.log" 2>&1; then
      echo "fuzz: $target fails on its seed corpus:"; tail -n 30 "build-fuzz/$target.log"; status=1
    else
      echo "fuzz: $target: $(ls "$seeds" | wc -l) seeds pass"
    fi
    continue
  fi
  mkdir -p "build-fuzz/corpus/$target" build-fuzz/findings
  if ! "$binary" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
      -print_final_stats=1 -artifact_prefix="build-fuzz/findings/$target-" \
      "build-fuzz/corpus/$target" "$seeds" >"build-fuzz/$target.log" 2>&1; then
    echo "fuzz: $target found a fault:"; tail -n 40 "build-fuzz/$target.log"; status=1
  else
    echo "fuzz: $target: $(grep -E 'stat::number_of_executed_units' "build-fuzz/$target.log" | awk '{print $2}') runs," \
      "$(grep -E 'stat::new_units_added' "build-fuzz/$target.log" | awk '{print $2}') new inputs, no fault"
  fi
done
exit $status
