#!/usr/bin/env bash
# Builds the station and its tests with a sanitizer in a build directory of
# its own and runs the tests there:
#   sanitize.sh thread     ThreadSanitizer, in build-tsan
#   sanitize.sh address    AddressSanitizer and UndefinedBehaviorSanitizer, in build-asan
# Options after the sanitizer go to cmake (e.g. -DZZ_SANITIZE_ALL_UNIT_TESTS=ON
# for the unit tests of every library, not only the token link's).
# Set ZZ_BUILD_LOCK to a file to serialise the build and the tests with other
# builds (flock).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sanitizer=${1:-}
case "$sanitizer" in
  thread) build=$root/build-tsan ;;
  address) build=$root/build-asan ;;
  *)
    echo "usage: $0 thread | address [CMAKE OPTION...]" >&2
    exit 2
    ;;
esac
shift

# Any report fails its test: ThreadSanitizer exits with 66 after a report,
# AddressSanitizer and UndefinedBehaviorSanitizer stop at the first one.
# ignore_noninstrumented_modules: Qt, glib, D-Bus, fontconfig and pcsc-lite
# are not instrumented, so ThreadSanitizer cannot see their own locks (Qt's
# mutexes are futexes, not pthread calls) and would report races between two
# accesses that a Qt lock orders, where Qt's code touches memory through an
# intercepted call (memmove, free) on two threads. With the flag it reports
# races only where instrumented code, ours, makes the access. Our threads
# hand values over through our own locks and atomics (ui/window_hop.cpp).
# die_after_fork=0: QProcess (the tests start oathtool, qrencode, a stand-in
# portal, the stack script) forks the multi-threaded test; the child only
# execs, so it may go on.
export TSAN_OPTIONS=${TSAN_OPTIONS:-ignore_noninstrumented_modules=1:die_after_fork=0:second_deadlock_stack=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_QPA_PLATFORM=offscreen

locked() {
  if [ -n "${ZZ_BUILD_LOCK:-}" ]; then flock "$ZZ_BUILD_LOCK" "$@"; else "$@"; fi
}

# Optimised but with line tables only: the reports name file and line, and
# the two extra builds stay affordable on a small machine.
locked cmake -S "$root" -B "$build" -DZZ_SANITIZE="$sanitizer" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1" "$@" >/dev/null
locked cmake --build "$build" -j2

# The end-to-end tests stop their pcscd stacks and the pool's database
# cluster themselves (CTest fixtures); this also covers a run that is
# interrupted.
stop_stacks() {
  for dir in "$build/tests/e2e/stack" "$build/tests/ui/stack" "$build/tests/ui/faults-stack" \
             "$build/tests/ui/reader-choice-stack" "$build/tests/cli/stack"; do
    bash "$root/scripts/pcsc-stack.sh" stop "$dir" >/dev/null 2>&1 || true
  done
  bash "$root/scripts/pg-cluster.sh" stop "$build/tests/cli/pool-pg" >/dev/null 2>&1 || true
}
trap stop_stacks EXIT
cd "$build"
locked ctest --output-on-failure --timeout 600
