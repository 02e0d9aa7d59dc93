#!/usr/bin/env bash
# Builds and runs the libFuzzer targets under AddressSanitizer and
# UndefinedBehaviorSanitizer, in their own build directory (build-fuzz).
#   fuzz.sh build [TARGET...]          configure with clang and build the fuzz targets only
#   fuzz.sh smoke [TARGET...]          build, then run each target once over its seed corpus
#   fuzz.sh run SECONDS [TARGET...]    build, then fuzz each target for SECONDS
# Without TARGETs, all of them.
# Set ZZ_BUILD_LOCK to a file to serialise the build with other builds (flock).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZZ_FUZZ_BUILD_DIR:-$root/build-fuzz}
seeds=$root/tests/fuzz/corpus
# Units that earlier fuzz runs found and `-merge=1` kept, read beside the seeds.
grown=$root/tests/fuzz/corpus-grown
targets=(fuzz_base32_decode fuzz_hex_to_base32 fuzz_otpauth_uri fuzz_seed_line fuzz_qr_image fuzz_token_answers)
# Every library is instrumented for coverage and the sanitizers; only the fuzz
# executables link libFuzzer's main (tests/fuzz/CMakeLists.txt).
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

locked() {
  if [ -n "${ZZ_BUILD_LOCK:-}" ]; then flock "$ZZ_BUILD_LOCK" "$@"; else "$@"; fi
}

build() {
  locked env CC=clang CXX=clang++ cmake -S "$root" -B "$build" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZZ_BUILD_FUZZERS=ON -DZZ_BUILD_UI=OFF \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" >/dev/null || return 1
  locked cmake --build "$build" --target "${targets[@]}" -j2 || return 1
}

# The committed corpora of a target: its seeds, and its grown units if any.
corpora() {
  echo "$seeds/$1"
  if [ -d "$grown/$1" ]; then echo "$grown/$1"; fi
}

smoke() {
  local status=0 target
  for target in "${targets[@]}"; do
    echo "== $target over its seed corpus"
    if ! "$build/tests/fuzz/$target" -runs=0 -timeout=30 -rss_limit_mb=2048 $(corpora "$target") \
         >"$build/$target.smoke.log" 2>&1; then
      cat "$build/$target.smoke.log"
      echo "FAILED: $target"
      status=1
    fi
  done
  return $status
}

run() {
  local seconds=$1 status=0 target
  for target in "${targets[@]}"; do
    echo "== $target for $seconds s"
    # New inputs go to the working corpus; the committed seeds are only read.
    mkdir -p "$build/corpus/$target" "$build/artifacts"
    if ! "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
         -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
         "$build/corpus/$target" $(corpora "$target") >"$build/$target.run.log" 2>&1; then
      tail -n 60 "$build/$target.run.log"
      echo "FAILED: $target (artifacts in $build/artifacts)"
      status=1
    else
      grep -E '^stat::(number_of_executed_units|new_units_added)' "$build/$target.run.log" || true
    fi
  done
  return $status
}

command=${1:-}
seconds=
if [ $# -gt 0 ]; then shift; fi
if [ "$command" = run ] && [ $# -gt 0 ]; then
  seconds=$1
  shift
fi
if [ $# -gt 0 ]; then targets=("$@"); fi

case "$command" in
  build) build ;;
  # set -e does not reach into a function called from a condition, so every
  # step of build and of the runs reports its own failure.
  smoke)
    build || exit 1
    smoke
    ;;
  run)
    [ -n "$seconds" ] || { echo "usage: $0 run SECONDS [TARGET...]" >&2; exit 2; }
    build || exit 1
    run "$seconds"
    ;;
  *)
    echo "usage: $0 build | smoke | run SECONDS [TARGET...]" >&2
    exit 2
    ;;
esac
