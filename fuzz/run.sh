#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time, four at a time, each on its corpus
# (seeded by qm_fuzz_seeds, kept between runs in BUILD/corpus). Fails when any target finds a
# crash, a leak or an allocation above the limit; the input lands in BUILD/artifacts.
#   fuzz/run.sh BUILD SECONDS_PER_TARGET
set -euo pipefail
build=${1:?build dir}
seconds=${2:-30}
parallel=${FUZZ_PARALLEL:-4}
corpus=$build/corpus
artifacts=$build/artifacts
logs=$build/fuzz-logs
mkdir -p "$corpus" "$artifacts" "$logs"
# A small quarantine: freed memory is reused sooner, which spares the page faults of fresh
# memory (several times more executions per second on a virtual machine).
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=8}
"$build/fuzz/qm_fuzz_seeds" "$corpus"

targets=()
for bin in "$build"/fuzz/qm_*_fuzz; do targets+=("$(basename "$bin" | sed 's/^qm_//; s/_fuzz$//')"); done

run_one() {
  local t=$1
  mkdir -p "$corpus/$t"
  "$build/fuzz/qm_${t}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -malloc_limit_mb=512 -max_len=65536 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$t-" "$corpus/$t" >"$logs/$t.log" 2>&1
}

failed=0
pids=()
names=()
for t in "${targets[@]}"; do
  run_one "$t" &
  pids+=($!)
  names+=("$t")
  if ((${#pids[@]} >= parallel)); then
    wait "${pids[0]}" || { echo "fuzz: ${names[0]} FAILED (see $logs/${names[0]}.log)"; failed=1; }
    pids=("${pids[@]:1}")
    names=("${names[@]:1}")
  fi
done
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || { echo "fuzz: ${names[$i]} FAILED (see $logs/${names[$i]}.log)"; failed=1; }
done

total=0
for t in "${targets[@]}"; do
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$logs/$t.log" | grep -o '[0-9]*$' | tail -1 || echo 0)
  cov=$(grep -o 'cov: [0-9]*' "$logs/$t.log" | tail -1 || true)
  printf 'fuzz: %-18s %10s execs  %s\n' "$t" "${execs:-0}" "$cov"
  total=$((total + ${execs:-0}))
done
echo "fuzz: ${#targets[@]} targets, $total execs in total, ${seconds}s each"
exit $failed
