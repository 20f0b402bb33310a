#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each fuzz/fuzz_<name>.cpp for
# FUZZ_SECONDS seconds (60 by default) on a copy of fuzz/corpus/<name>/.
# Any crash, leak, timeout or memory blow-up fails the script; the input
# that caused it is kept in fuzz/out/<name>/.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET=${FUZZ_SECONDS:-60}
BUILD=${FUZZ_BUILD:-build-fuzz}
CXX_FUZZ=${FUZZ_CXX:-clang++}

command -v "$CXX_FUZZ" >/dev/null || { echo "fuzz.sh: $CXX_FUZZ not found" >&2; exit 1; }
cmake -S fuzz -B "$BUILD" -DCMAKE_CXX_COMPILER="$CXX_FUZZ" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=0
for src in fuzz/fuzz_*.cpp; do
  target=$(basename "$src" .cpp)
  name=${target#fuzz_}
  corpus="$work/$name"
  mkdir -p "$corpus" "fuzz/out/$name"
  # The fuzzer adds to the corpus it runs on: keep the committed one as it is.
  if [ -d "fuzz/corpus/$name" ]; then
    cp -R "fuzz/corpus/$name/." "$corpus/"
  fi
  log="$work/$name.log"
  echo "== $target: ${SECONDS_PER_TARGET}s on $(ls "$corpus" | wc -l) seed(s)"
  status=0
  "$BUILD/$target" "$corpus" \
    -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="fuzz/out/$name/" >"$log" 2>&1 || status=$?
  grep -E '^#[0-9]+.*cov: ' "$log" | tail -1 || true
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$log" || true
  if [ "$status" -ne 0 ]; then
    echo "== $target FAILED (exit $status); last lines of its log:"
    tail -40 "$log"
    failed=1
  else
    echo "== $target passed"
  fi
done
exit "$failed"
