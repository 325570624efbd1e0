#!/usr/bin/env bash
# Runs each fuzz target for SECONDS, one process on one core, from its corpus
# in the tree (fuzz/corpus/TARGET): every input of the corpus first, then new
# ones. New inputs go to BUILD/corpus/TARGET, crashes, hangs and slow inputs to
# BUILD/artifacts/TARGET; the tree's corpus is left as it is (fuzz/README.md
# says how to fold new inputs into it). Exits 1 when a target failed.
#
#   fuzz/run.sh BUILD SECONDS [TARGET...]
set -uo pipefail

build=${1:?usage: fuzz/run.sh BUILD SECONDS [TARGET...]}
seconds=${2:?usage: fuzz/run.sh BUILD SECONDS [TARGET...]}
shift 2
here=$(cd "$(dirname "$0")" && pwd)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(requests_fuzzer hostile_card_fuzzer configuration_fuzzer
                                   sim_config_fuzzer sim_control_fuzzer)

# The longest input each target is given: enough for a few dozen steps.
declare -A max_len=([requests_fuzzer]=128 [hostile_card_fuzzer]=256 [configuration_fuzzer]=256
                   [sim_config_fuzzer]=1024 [sim_control_fuzzer]=256)

if ! command -v llvm-symbolizer >/dev/null && [ -x /usr/bin/llvm-symbolizer-14 ]; then
  export ASAN_SYMBOLIZER_PATH=/usr/bin/llvm-symbolizer-14
fi
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

failed=()
for target in "${targets[@]}"; do
  binary=$build/fuzz/$target
  if [ ! -x "$binary" ]; then
    echo "fuzz: $binary is missing" >&2
    failed+=("$target")
    continue
  fi
  corpus=$build/corpus/$target
  artifacts=$build/artifacts/$target
  mkdir -p "$corpus" "$artifacts" "$here/corpus/$target"
  log=$build/$target.log
  echo "fuzz: $target for ${seconds}s (log $log)"
  # The driver's leaks are the verifier's to find (its ledger, checked at
  # every halt) and the books' (checked after every input): libFuzzer's own
  # leak check would scan the heap after almost every input, since the
  # machine kept across inputs allocates as it goes.
  "$binary" -max_total_time="$seconds" -max_len="${max_len[$target]:-1024}" -timeout=60 \
    -rss_limit_mb=2048 -detect_leaks=0 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" "$here/corpus/$target" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cover=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
  if [ $status -ne 0 ]; then
    echo "fuzz: $target FAILED after ${runs:-?} inputs; the input is in $artifacts" >&2
    grep -E '==== zr48|ERROR:|SUMMARY' "$log" | head -5 >&2
    failed+=("$target")
  else
    echo "fuzz: $target: ${runs:-?} inputs in ${seconds}s, $cover"
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
