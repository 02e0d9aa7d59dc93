#!/usr/bin/env bash
# Builds everything and runs every test: the fuzz targets over their seed
# corpora, then unit, window (offscreen) and end-to-end tests; the end-to-end
# tests start an isolated pcscd with the virtual token and stop it afterwards.
# Then the window, end-to-end and token-link unit tests once more, built with
# ThreadSanitizer (build-tsan) and with AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh test
status=0
# Sanitizer build of the fuzz targets (clang), in build-fuzz.
bash scripts/fuzz.sh smoke || status=1
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
export QT_QPA_PLATFORM=offscreen
# The end-to-end tests stop their pcscd stacks, and the pool tests their
# database cluster, themselves (CTest fixtures); this also covers a run that
# is interrupted.
stop_stacks() {
  for dir in build/tests/e2e/stack build/tests/ui/stack build/tests/ui/faults-stack build/tests/ui/reader-choice-stack \
             build/tests/bench/soak-stack build/tests/cli/stack; do
    bash scripts/pcsc-stack.sh stop "$dir" >/dev/null 2>&1 || true
  done
  # The pool tests' PostgreSQL clusters.
  for dir in build/tests/unit/pool/cluster build/tests/cli/pool-pg; do
    bash scripts/pg-cluster.sh stop "$dir" >/dev/null 2>&1 || true
  done
}
trap stop_stacks EXIT
(cd build && ctest --output-on-failure --timeout 300) || status=$?
bash scripts/sanitize.sh thread || status=1
bash scripts/sanitize.sh address || status=1
exit $status
