#!/usr/bin/env bash
# The project's test command: installs what is missing, builds, and runs every test.
#   1. the suite, optimised with debug information, with what only this build makes: the Windows
#      cross builds (fast files, service wrapper, its tests under Wine), the fast-file fuzzer and
#      its run, the install of the library into a temporary prefix and the Python modules' tests;
#   2. the suite again under AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. the concurrency tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

scripts/setup.sh

build_and_test() {  # <build dir> <ctest args...> -- <cmake args...>
  local dir=$1; shift
  local ctest_args=()
  while (($#)) && [[ $1 != -- ]]; do ctest_args+=("$1"); shift; done
  shift
  echo "=== $dir"
  cmake -S "$root" -B "$dir" "$@" >/dev/null
  if [[ -n ${only_targets:-} ]]; then
    # Only the programs whose tests run here: the rest of the tree is built by the other passes.
    local targets
    targets=$(cmake --build "$dir" --target help | sed -n "s/^\.\.\. \(${only_targets}\)\( .*\)\?$/\1/p")
    # shellcheck disable=SC2086
    cmake --build "$dir" -j"$jobs" --target $targets
  else
    cmake --build "$dir" -j"$jobs"
  fi
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" "${ctest_args[@]}"
  echo "=== $dir done after $((SECONDS / 60)) min $((SECONDS % 60)) s"
}

build_and_test build/release -- -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  build_and_test build/asan -- -DCMAKE_BUILD_TYPE=Debug -DQNST_SANITIZE=ON -DQNST_BENCH=OFF
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" only_targets='qnst_[a-z0-9]*_concurrency_test' \
  build_and_test build/tsan -L concurrency --no-tests=ignore -- \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQNST_TSAN=ON -DQNST_BENCH=OFF

echo "all tests passed in $((SECONDS / 60)) min $((SECONDS % 60)) s"
