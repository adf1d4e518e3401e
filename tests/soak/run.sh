#!/usr/bin/env bash
# Builds one reliability run of tests/soak and runs it with the given
# arguments. window_soak and corruption_soak are built with AddressSanitizer
# and UBSan (in build/soak); crash_soak measures the engine's writes over
# more than a thousand processes and is built for speed (Release, in
# build/soak-release) so that it ends within 30 minutes; SANITIZE=1 builds it
# in build/soak as well.
# Usage: tests/soak/run.sh window_soak|corruption_soak|crash_soak [ARGS...]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
[ $# -ge 1 ] || { echo "usage: tests/soak/run.sh PROGRAM [ARGS...]" >&2; exit 2; }
program=$1
shift
if [ "$program" = crash_soak ] && [ "${SANITIZE:-0}" != 1 ]; then
  build=build/soak-release
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKIROBAKU_BUILD_TESTS=ON \
    -DKIROBAKU_BUILD_SOAK=ON >/dev/null
else
  build=build/soak
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKIROBAKU_ASAN=ON -DKIROBAKU_UBSAN=ON \
    -DKIROBAKU_BUILD_TESTS=ON -DKIROBAKU_BUILD_SOAK=ON >/dev/null
fi
cmake --build "$build" -j 2 --target "$program" >"$build/$program.build.log" 2>&1 ||
  { tail -30 "$build/$program.build.log" >&2; exit 2; }
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export LSAN_OPTIONS=suppressions=$top/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
exec "$build/bin/$program" "$@"
