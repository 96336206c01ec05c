#!/usr/bin/env bash
# Installs what is missing, builds Quorvel twice (optimised, and with ASan+UBSan) and runs the whole suite on both.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
"$here/scripts/deps.sh" --test
jobs="${QUORVEL_JOBS:-2}"
launcher=()
if command -v ccache >/dev/null; then
  # Re-use objects of earlier builds of this tree (or another clone of it).
  export CCACHE_BASEDIR="$here"
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

run_suite() {
  local name="$1"; shift
  local build="$here/build/$name"
  cmake -S "$here" -B "$build" -G Ninja -DQUORVEL_WERROR=ON -DQUORVEL_BUILD_TESTS=ON "${launcher[@]}" "$@"
  cmake --build "$build" -j "$jobs"
  ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 300
}

run_suite release -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ "${QUORVEL_SKIP_SANITIZERS:-0}" != 1 ]; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    LSAN_OPTIONS=suppressions="$here/tests/lsan.supp" \
    run_suite sanitize -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=ON
fi
