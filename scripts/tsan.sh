#!/bin/bash
# make test-tsan: ThreadSanitizer over what runs on concurrent processors.
#   scripts/tsan.sh [BUILD]    BUILD: a build with -DZR48_TSAN=ON (build/tsan)
# 1. The test programs that hold the tests on concurrent processors, whole
#    (their deterministic tests run on one thread and cost little).
# 2. zr48sim for a bounded run: two adapters with traffic both ways, the line
#    cut, restored, flapped and lossy, both adapters reset, both statistics
#    blocks read, through its control socket; then a clean stop.
# Any report but the three intentional idioms in scripts/tsan.supp fails it.
set -u
BUILD=${1:-build/tsan}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
export TSAN_OPTIONS="suppressions=$ROOT/scripts/tsan.supp halt_on_error=1 second_deadlock_stack=1"
status=0
started=$(date +%s)

for program in tests/host_tests tests/driver_foundation_tests tests/driver_datapath_tests \
               tests/driver_requests_tests sim/sim_tests; do
    t0=$(date +%s)
    if ! "$BUILD/$program" --gtest_brief=1 > "/tmp/tsan.$$.log" 2>&1; then
        cat "/tmp/tsan.$$.log"
        echo "tsan: $program FAILED"
        status=1
    else
        echo "tsan: $program passed ($(( $(date +%s) - t0 )) s)"
    fi
    rm -f "/tmp/tsan.$$.log"
done

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sock="$dir/zr48sim.sock"
sim="$BUILD/sim/zr48sim"
t0=$(date +%s)
# --duration bounds the run should the stop below never come.
timeout 300 "$sim" --log --traffic 500 --duration 120 --control "$sock" > "$dir/sim.log" 2>&1 &
pid=$!
ctl() { timeout 60 "$sim" ctl --control "$sock" "$@" > /dev/null || { echo "tsan: zr48sim ctl $* failed"; status=1; }; }
for _ in $(seq 150); do [ -S "$sock" ] && break; sleep 0.2; done
ctl wait_link 60
ctl cut l1; sleep 1; ctl restore l1; ctl wait_link 60
ctl reset a; ctl reset b; sleep 1
ctl flap l1 300 700; sleep 3; ctl wait_link 60
ctl loss l1 0.02; sleep 2; ctl loss l1 0
timeout 60 "$BUILD/tools/zr48stat" --socket "$sock" a b > /dev/null ||
    { echo "tsan: zr48stat failed"; status=1; }
ctl reset a; sleep 1
ctl stop
if wait "$pid"; then
    echo "tsan: zr48sim with traffic, cuts and resets ran clean ($(( $(date +%s) - t0 )) s)"
else
    tail -n 60 "$dir/sim.log"
    echo "tsan: zr48sim FAILED"
    status=1
fi
echo "tsan: $(( $(date +%s) - started )) s in all"
exit $status
