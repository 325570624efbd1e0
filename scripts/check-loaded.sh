#!/bin/bash
# make check-loaded: the test programs, three times in a row, with every core
# kept busy by a CPU hog (a busy loop per core, at the tests' own priority),
# as on a CI machine busy with other work. Every run must pass: no test may
# depend on how its threads are scheduled. Each run's time is printed.
#   scripts/check-loaded.sh [BUILD]    BUILD: a host build (build/host)
set -u
BUILD=${1:-build/host}
cores=$(nproc)
hogs=()
for _ in $(seq "$cores"); do
    (while :; do :; done) &
    hogs+=($!)
done
trap 'kill "${hogs[@]}" 2>/dev/null; wait 2>/dev/null' EXIT
echo "check-loaded: $cores CPU hog(s) running"
status=0
log=$(mktemp)
for run in 1 2 3; do
    start=$(date +%s%N)
    if ctest --test-dir "$BUILD" --output-on-failure -j "$cores" > "$log" 2>&1; then
        result=passed
    else
        result=FAILED
        status=1
        cat "$log"
    fi
    tenths=$(( ($(date +%s%N) - start) / 100000000 ))
    printf "check-loaded: run %d %s in %d.%d s\n" "$run" "$result" $((tenths / 10)) $((tenths % 10))
done
rm -f "$log"
exit $status
