#!/usr/bin/env bash
# Runs every libFuzzer harness of $BUILD for $FUZZ_SECONDS seconds each, one
# at a time, starting from seeds written by the builders (make_seeds) plus
# whatever earlier runs left in fuzz/corpus/. Fails on the first finding;
# crashing inputs are kept under fuzz/artifacts/.
#   BUILD=build-fuzz FUZZ_SECONDS=60 tools/run_fuzzers.sh [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build-fuzz}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
CORPUS=fuzz/corpus
ARTIFACTS=fuzz/artifacts

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for src in fuzz/fuzz_*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi

mkdir -p "$CORPUS" "$ARTIFACTS"
"$BUILD/make_seeds" "$CORPUS"

for t in "${targets[@]}"; do
  dict=()
  kind=${t#fuzz_}
  [ -f "fuzz/$kind.dict" ] && dict=(-dict="fuzz/$kind.dict")
  echo "== $t (${FUZZ_SECONDS}s)"
  mkdir -p "$CORPUS/$t"
  log=$(mktemp)
  if ! "$BUILD/$t" "$CORPUS/$t" "${dict[@]}" -max_total_time="$FUZZ_SECONDS" \
      -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$ARTIFACTS/$t-" >"$log" 2>&1; then
    tail -n 60 "$log"
    rm -f "$log"
    echo "$t: FAILED (input saved under $ARTIFACTS/)"
    exit 1
  fi
  grep -E '^stat::number_of_executed_units|^stat::new_units_added|^Done' "$log" || true
  rm -f "$log"
done
