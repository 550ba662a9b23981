#!/usr/bin/env bash
# Runs every fuzz target over its seed corpus (fuzz/corpus/<target>, read
# only) and a working corpus in the build directory, for a number of
# executions or seconds each; prints the executions per target and fails on
# the first crash (the input is kept as crash-* in the build directory).
# Usage: run.sh BUILD_DIR runs|time N
set -euo pipefail
build=$1 mode=$2 n=$3
here=$(cd "$(dirname "$0")" && pwd)
limit=$([ "$mode" = runs ] && echo "-runs=$n" || echo "-max_total_time=$n")
for t in cipher_save folder_save sync find_by_email; do
  mkdir -p "$build/corpus/$t"
  log="$build/fuzz_$t.log"
  if ! (cd "$build" && "./fuzz_$t" "$limit" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
        "corpus/$t" "$here/corpus/$t") >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "fuzz_$t: FAILED (input kept in $build)"
    exit 1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "[figures] fuzz fuzz_$t: executions=$execs corpus=$(ls "$build/corpus/$t" | wc -l)"
done
