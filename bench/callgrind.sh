#!/usr/bin/env bash
# Instructions of driver code per frame on the data path, counted by callgrind.
#
#   bench/callgrind.sh [PATH...]    PATH: receive/60, receive/1514 (the default),
#                                   send/60, send/1514
#   DRIVER_BENCH=BINARY             driver_bench to run (make bench: its own; default: the first of
#                                   build/bench-dev/bench/driver_bench and
#                                   build/host/bench/driver_bench)
#   ITERATIONS=N                    batches per path (default 200)
#
# How it counts. driver_bench runs the one path for exactly N batches under
# valgrind --tool=callgrind, which collects only while the batch function runs
# (ReceiveBatch or SendBatch; copy/N: CopyBatch), so the adapter's bring-up,
# halt and the benchmark library are not counted. callgrind_annotate lists the
# instructions executed per source file and function, code inlined from a
# header under the header's file. Instructions whose source file is under
# driver/ are the driver's; host/ (the user-space NDIS and its verifier),
# cardmodel/, testbed/ and bench/ are shown apart, and the rest is the C and
# C++ libraries and the standard headers inlined into the host and card model.
# Everything is divided by the frames the run reports (N x batch).
#
# For a send path the copy the driver asks NDIS for (NdisMoveMemory, with what
# it calls) is shown too, against copy/N: a plain memcpy of the same bytes.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
iterations=${ITERATIONS:-200}
receive_target=300  # driver instructions per received frame

find_binary() {
    if [ -n "${DRIVER_BENCH:-}" ]; then
        echo "$DRIVER_BENCH"
        return
    fi
    local candidate
    for candidate in "$root/build/bench-dev/bench/driver_bench" \
        "$root/build/host/bench/driver_bench"; do
        if [ -x "$candidate" ]; then
            echo "$candidate"
            return
        fi
    done
    echo "callgrind.sh: no driver_bench found; build its target or set DRIVER_BENCH" >&2
    exit 2
}

for tool in valgrind callgrind_annotate python3; do
    if ! command -v "$tool" >/dev/null; then
        echo "callgrind.sh: $tool is missing (scripts/install-deps.sh installs it)" >&2
        exit 2
    fi
done

binary=$(find_binary)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs one benchmark under callgrind; leaves $work/$tag.out (callgrind) and
# $work/$tag.json (the benchmark's report).
run_path() {
    local path=$1 toggle=$2 tag=$3
    if ! valgrind --tool=callgrind --callgrind-out-file="$work/$tag.out" \
        --toggle-collect="$toggle" "$binary" \
        --benchmark_filter="^${path}(/|\$)" --zr48_iterations="$iterations" \
        --benchmark_out="$work/$tag.json" --benchmark_out_format=json \
        >"$work/$tag.log" 2>&1; then
        echo "callgrind.sh: $path failed under valgrind:" >&2
        tail -20 "$work/$tag.log" >&2
        exit 1
    fi
}

# Frames the run reports, or fails when the benchmark reported an error.
frames_of() {
    python3 - "$1" <<'EOF'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
if len(runs) != 1 or runs[0].get("error_occurred"):
    sys.exit("callgrind.sh: the benchmark did not run cleanly: %s"
             % (runs[0].get("error_message") if runs else "no run"))
print(int(runs[0]["frames"]))
EOF
}

# Sums callgrind_annotate's listing: "FILE:FUNCTION" lines, one per source
# file (inlined code counts under its own file).
#   sum_listing components   self instructions: driver host cardmodel testbed bench other
#   sum_listing FUNCTION     instructions inside FUNCTION and what it called
sum_listing() {
    local what=$1 file=$2 inclusive=no
    [ "$what" != components ] && inclusive=yes
    callgrind_annotate --auto=no --threshold=100 --inclusive="$inclusive" "$file" |
        python3 -c '
import re, sys
what = sys.argv[1]
line = re.compile(r"^\s*([0-9][0-9,]*)\s+(?:\([^)]*\)\s+)?(\S[^:]*):(.*)$")
parts = ["driver", "host", "cardmodel", "testbed", "bench"]
sums = dict.fromkeys(parts + ["other"], 0)
best = 0
for text in sys.stdin:
    m = line.match(text)
    if not m or "PROGRAM TOTALS" in text:
        continue
    count, source, function = int(m.group(1).replace(",", "")), m.group(2), m.group(3)
    if what != "components":
        if re.match(r"(.*::)?%s\(" % what, function):
            best = max(best, count)
        continue
    # callgrind_annotate shortens paths under the working directory
    part = next((p for p in parts if re.search("(^|/)%s/" % p, source)), "other")
    sums[part] += count
if what == "components":
    print(" ".join(str(sums[p]) for p in parts + ["other"]))
else:
    print(best)
' "$what"
}

per_frame() { awk -v n="$1" -v f="$2" 'BEGIN { printf "%.1f", n / f }'; }

report_path() {
    local path=$1 toggle
    case $path in
    receive/*) toggle='*ReceiveBatch*' ;;
    send/*) toggle='*SendBatch*' ;;
    *) echo "callgrind.sh: unknown path $path (receive/N or send/N)" >&2; exit 2 ;;
    esac
    local tag=${path//\//_}
    run_path "$path" "$toggle" "$tag"
    local frames
    frames=$(frames_of "$work/$tag.json")
    read -r driver host card testbed bench other < <(sum_listing components "$work/$tag.out")
    local total=$((driver + host + card + testbed + bench + other))
    echo "$path: $frames frames in $iterations batches"
    echo "  driver code        $(per_frame "$driver" "$frames") instructions per frame"
    echo "  host platform      $(per_frame "$host" "$frames")"
    echo "  card model, line   $(per_frame "$card" "$frames")"
    echo "  test bench         $(per_frame "$((testbed + bench))" "$frames")"
    echo "  C/C++ libraries    $(per_frame "$other" "$frames")" \
        "(allocation, locks, copies, inlined std)"
    echo "  all collected      $(per_frame "$total" "$frames")"
    case $path in
    receive/*)
        awk -v d="$driver" -v f="$frames" -v t="$receive_target" 'BEGIN {
            printf "  target: driver code <= %d per frame: %s\n", t,
                   (d / f <= t ? "met" : "missed") }'
        ;;
    send/*) report_copy "$path" "$tag" "$frames" "$driver" ;;
    esac
}

# The driver's copy against a plain copy of the same bytes, in instructions.
report_copy() {
    local path=$1 tag=$2 frames=$3 driver=$4
    local length=${path#send/}
    local moved plain copy_frames
    moved=$(sum_listing NdisMoveMemory "$work/$tag.out")
    run_path "copy/$length" '*CopyBatch*' "copy_$length"
    copy_frames=$(frames_of "$work/copy_$length.json")
    plain=$(sum_listing CopyBatch "$work/copy_$length.out")
    echo "  its copy (NdisMoveMemory) $(per_frame "$moved" "$frames")," \
        "plain copy/$length $(per_frame "$plain" "$copy_frames")"
    awk -v d="$driver" -v m="$moved" -v f="$frames" -v p="$plain" -v pf="$copy_frames" 'BEGIN {
        printf "  driver code + its copy = %.1f x the plain copy (in instructions)\n",
               (d + m) / f / (p / pf) }'
}

paths=("$@")
[ ${#paths[@]} -eq 0 ] && paths=(receive/60 receive/1514)
for path in "${paths[@]}"; do
    report_path "$path"
done
