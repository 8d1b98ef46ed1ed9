#!/bin/sh
# Installs what is needed, builds, and runs every test.
#   scripts/test.sh             release build
#   scripts/test.sh sanitize    the same tests under ASan and UBSan
#   scripts/test.sh thread      the same tests under ThreadSanitizer
set -e
cd "$(dirname "$0")/.."
scripts/deps.sh
flavour=${1:-release}
scripts/build.sh "$flavour"
dir=build
[ "$flavour" = sanitize ] && dir=build-sanitize
[ "$flavour" = thread ] && dir=build-thread
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 600
