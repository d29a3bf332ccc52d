#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each for a while.
# Usage: scripts/fuzz.sh [seconds per target]   (60 by default)
# Two targets run at a time; new inputs go to a scratch folder, never into
# the seed corpus in fuzz/corpus/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

run_target() {
  local binary=$1 name=${1##*/fuzz_}
  mkdir -p "$scratch/$name/new" "$scratch/$name/crash"
  local seeds=()
  [[ -d fuzz/corpus/$name ]] && seeds=("fuzz/corpus/$name")
  if "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$scratch/$name/crash/" "$scratch/$name/new" "${seeds[@]}" \
       >"$scratch/$name.log" 2>&1; then
    echo "fuzz $name: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$scratch/$name.log" | grep -o '[0-9]*$') runs, no fault"
  else
    echo "fuzz $name: FAILED"
    tail -n 60 "$scratch/$name.log"
    for artifact in "$scratch/$name/crash/"*; do
      [[ -f $artifact ]] && { echo "input ${artifact##*/}:"; od -c "$artifact" | head -n 20; }
    done
    return 1
  fi
}

status=0
pids=()
for binary in build/fuzz/fuzz/fuzz_*; do
  [[ -x $binary ]] || continue
  run_target "$binary" & pids+=($!)
  if (( ${#pids[@]} >= 2 )); then
    wait "${pids[0]}" || status=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
exit $status
