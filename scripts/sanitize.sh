#!/usr/bin/env bash
# Runs the whole test suite under the sanitizers. Usage: scripts/sanitize.sh [asan|tsan|all]  (default all)
#   asan: AddressSanitizer + UndefinedBehaviorSanitizer (-DQUORVEL_SANITIZE=ON), in build-asan/, with
#         scripts/lsan-suppressions.txt
#   tsan: ThreadSanitizer (-DQUORVEL_TSAN=ON), in build-tsan/, with scripts/tsan-suppressions.txt
# QUORVEL_JOBS sets the build and test jobs (default 3). QUORVEL_ASAN_SUITES / QUORVEL_TSAN_SUITES name
# test programs (e.g. "HubTests LexiphonicTests") to build and run instead of the whole suite.
# ccache is used when the machine has it.
set -euo pipefail
cd "$(dirname "$0")/.."
which=${1:-all}
JOBS=${QUORVEL_JOBS:-3}
LAUNCHER=()
if command -v ccache >/dev/null; then
  LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

suite() {  # name, cmake option, test programs (all when empty)
  local dir=build-$1 targets=()
  read -r -a targets <<<"$3"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -D"$2"=ON -DQUORVEL_BENCHMARKS=OFF \
    "${LAUNCHER[@]}" >/dev/null
  if [ ${#targets[@]} -eq 0 ]; then
    cmake --build "$dir" -j"$JOBS"
  else
    cmake --build "$dir" -j"$JOBS" --target "${targets[@]}"
  fi
  # Programs left unbuilt stand in ctest's list as <name>_NOT_BUILT: they are not part of this run.
  ctest --test-dir "$dir" -j"$JOBS" --output-on-failure -E '_NOT_BUILT$'
}

status=0
if [ "$which" = asan ] || [ "$which" = all ]; then
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1} \
  LSAN_OPTIONS="suppressions=$PWD/scripts/lsan-suppressions.txt ${LSAN_OPTIONS:-}" \
  UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
    suite asan QUORVEL_SANITIZE "${QUORVEL_ASAN_SUITES:-}" || status=1
fi
if [ "$which" = tsan ] || [ "$which" = all ]; then
  TSAN_OPTIONS="suppressions=$PWD/scripts/tsan-suppressions.txt halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
    suite tsan QUORVEL_TSAN "${QUORVEL_TSAN_SUITES:-}" || status=1
fi
exit $status
