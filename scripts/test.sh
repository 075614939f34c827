#!/usr/bin/env bash
# Installs what is missing, builds and runs every test:
#   1. the normal build (warnings are errors) and its whole suite, end-to-end tests included;
#   2. the suite again under AddressSanitizer + UndefinedBehaviorSanitizer;
#   3. the download tests under ThreadSanitizer;
#   4. each libFuzzer target for a short while, after replaying its kept regression inputs.
# Every stage runs; the script fails when any of them failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-$(nproc)}
fuzz_seconds=${FUZZ_SECONDS:-30}
failed=()

bash scripts/install-deps.sh || exit 1

stage() {  # name command...
  local name=$1
  shift
  echo
  echo "=== $name ==="
  if ! "$@"; then
    failed+=("$name")
    echo "=== $name: FAILED ==="
  fi
}

configure_build() {  # dir target|all cmake-args...
  local dir=$1 target=$2
  shift 2
  cmake -S "$root" -B "$dir" -DTESSARO_WERROR=ON "$@" >/dev/null &&
    if [[ $target == all ]]; then cmake --build "$dir" -j"$jobs"; else cmake --build "$dir" -j"$jobs" --target $target; fi
}

export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="suppressions=$root/tests/tsan.supp:halt_on_error=1:second_deadlock_stack=1"

normal() {
  configure_build build all -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    ctest --test-dir build --output-on-failure -j"$jobs" --timeout 900
}

asan() {
  configure_build build-asan all -DCMAKE_BUILD_TYPE=Debug -DTESSARO_SANITIZE=address,undefined \
    -DTESSARO_BUILD_APP=OFF &&
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
      ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 1800 -LE 'e2e|bench' \
        -E '^InetTls' &&
    # LeakSanitizer's exit-time scan crashes inside the TLS library's threads; the TLS test
    # runs with the address checks but without that scan.
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
      ctest --test-dir build-asan --output-on-failure --timeout 600 -R '^InetTls'
}

tsan() {
  # The fault test's hundred dropped downloads take minutes under ThreadSanitizer; a quarter
  # of them exercises the same paths.
  configure_build build-tsan "download_tests tessaro-http event-server" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARO_SANITIZE=thread -DTESSARO_BUILD_APP=OFF &&
    TESSARO_FAULT_ROUNDS=25 \
      ctest --test-dir build-tsan --output-on-failure --timeout 1800 -R 'Download' -LE bench
}

fuzz() {
  local dir=build-fuzz status=0
  CC=clang CXX=clang++ configure_build $dir "fuzz_text fuzz_split fuzz_url" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARO_FUZZ=ON -DTESSARO_BUILD_APP=OFF \
    -DTESSARO_SANITIZE=address,undefined || return 1
  for target in fuzz_text fuzz_split fuzz_url; do
    local kept=tests/fuzz/regressions/$target corpus
    corpus=$(mktemp -d)
    mkdir -p "$kept"
    echo "--- $target: ${fuzz_seconds}s"
    if ! "$dir/tests/fuzz/$target" -max_total_time="$fuzz_seconds" -max_len=256 -print_final_stats=0 \
        -artifact_prefix="$corpus/" "$corpus" "$kept" 2>"$corpus.log"; then
      tail -n 40 "$corpus.log"
      echo "$target found a failing input; it is in $corpus (keep it under $kept)"
      status=1
    else
      grep -E '^Done' "$corpus.log" || true
    fi
  done
  return $status
}

stage "build and test" normal
stage "AddressSanitizer + UndefinedBehaviorSanitizer" asan
stage "ThreadSanitizer (downloads)" tsan
stage "fuzzing" fuzz

echo
if [[ ${#failed[@]} -gt 0 ]]; then
  echo "Failed stages: ${failed[*]}"
  exit 1
fi
echo "All stages passed."
