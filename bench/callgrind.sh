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
# For a send path the copy the driver asks NDIS for is shown too, against
# copy/N: a plain memcpy of the same bytes (CopyBatch with what it calls, per
# frame). The driver's copy is what NdisMoveMemory and NdisZeroMemory call
# (the C library's memmove and memset): on Windows they are RtlCopyMemory and
# RtlZeroMemory, the copy itself. Their own instructions on the host are the
# host platform's, counted there: the verifier's overlap check and the bridge
# from the Windows calling convention (which saves ten SSE registers). The
# figure with them counted as the copy too is printed beside it.
#   send/N:    (driver code + its copy) / the plain copy, per frame
#   receive/N: driver code per frame
#
# DETAIL=1 also lists the driver's instructions per frame by source file and
# function (code inlined from a header under the header's file).
#
# With ZR48_BENCH_FIGURES set, each path appends its figures to that file, one
# per line: name TAB value TAB unit TAB goal (bench/summary.py).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
iterations=${ITERATIONS:-200}
receive_target=250  # driver instructions per received frame
send_target=1.5     # send/1514: (driver code + its copy) / plain copy

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
#   sum_listing components     self instructions: driver host cardmodel testbed bench other
#   sum_listing FUNCTION       instructions inside FUNCTION and what it called
#   sum_listing self:FUNCTION  instructions of FUNCTION itself (inlined code too)
#   sum_listing functions      the driver's self instructions by FILE:FUNCTION
sum_listing() {
    local what=$1 file=$2 inclusive=no
    case $what in components | self:* | functions) ;; *) inclusive=yes ;; esac
    callgrind_annotate --auto=no --threshold=100 --inclusive="$inclusive" "$file" |
        python3 -c '
import re, sys
what = sys.argv[1]
line = re.compile(r"^\s*([0-9][0-9,]*)\s+(?:\([^)]*\)\s+)?(\S[^:]*):(.*)$")
parts = ["driver", "host", "cardmodel", "testbed", "bench"]
sums = dict.fromkeys(parts + ["other"], 0)
best = 0
own = 0
functions = {}
for text in sys.stdin:
    m = line.match(text)
    if not m or "PROGRAM TOTALS" in text:
        continue
    count, source, function = int(m.group(1).replace(",", "")), m.group(2), m.group(3)
    # callgrind_annotate shortens paths under the working directory
    part = next((p for p in parts if re.search("(^|/)%s/" % p, source)), "other")
    if what == "components":
        sums[part] += count
    elif what == "functions":
        if part == "driver":
            name = re.sub(r"\(.*", "", function.split(" [")[0])
            key = "%s:%s" % (source[source.rfind("driver/"):], name)
            functions[key] = functions.get(key, 0) + count
    elif what.startswith("self:"):
        if re.match(r"(.*::)?%s\(" % what[5:], function):
            own += count
    elif re.match(r"(.*::)?%s\(" % what, function):
        best = max(best, count)
if what == "components":
    print(" ".join(str(sums[p]) for p in parts + ["other"]))
elif what == "functions":
    for key, count in sorted(functions.items(), key=lambda kv: -kv[1]):
        print(count, key)
elif what.startswith("self:"):
    print(own)
else:
    print(best)
' "$what"
}

# One line for the table make bench ends with, when ZR48_BENCH_FIGURES is set.
report_figure() {
    [ -n "${ZR48_BENCH_FIGURES:-}" ] || return 0
    printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" >>"$ZR48_BENCH_FIGURES"
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
    if [ "${DETAIL:-0}" = 1 ]; then
        echo "  driver code by function (self, per frame):"
        sum_listing functions "$work/$tag.out" | while read -r count key; do
            echo "    $(per_frame "$count" "$frames")  $key"
        done
    fi
    local length=${path#*/}
    case $path in
    receive/*)
        awk -v d="$driver" -v f="$frames" -v t="$receive_target" 'BEGIN {
            printf "  target: driver code <= %d per frame: %s\n", t,
                   (d / f <= t ? "met" : "missed") }'
        local goal=-
        [ "$length" = 1514 ] && goal="<= $receive_target"
        report_figure "driver receive $length B, instructions" \
            "$(per_frame "$driver" "$frames")" instr/frame "$goal"
        ;;
    send/*)
        report_figure "driver send $length B, instructions" \
            "$(per_frame "$driver" "$frames")" instr/frame -
        report_copy "$path" "$tag" "$frames" "$driver"
        ;;
    esac
}

# The driver's copy against a plain copy of the same bytes, in instructions.
report_copy() {
    local path=$1 tag=$2 frames=$3 driver=$4
    local length=${path#send/}
    local moved zeroed wrapper plain copy_frames
    moved=$(sum_listing NdisMoveMemory "$work/$tag.out")
    zeroed=$(sum_listing NdisZeroMemory "$work/$tag.out")
    wrapper=$(($(sum_listing self:NdisMoveMemory "$work/$tag.out") +
        $(sum_listing self:NdisZeroMemory "$work/$tag.out")))
    run_path "copy/$length" '*CopyBatch*' "copy_$length"
    copy_frames=$(frames_of "$work/copy_$length.json")
    plain=$(sum_listing CopyBatch "$work/copy_$length.out")
    local copy=$((moved + zeroed - wrapper))
    echo "  its copy (what NdisMoveMemory/NdisZeroMemory call) $(per_frame "$copy" "$frames")," \
        "plain copy/$length $(per_frame "$plain" "$copy_frames");" \
        "the two host routines' own $(per_frame "$wrapper" "$frames")"
    local ratio with_wrapper
    ratio=$(awk -v d="$driver" -v m="$copy" -v f="$frames" -v p="$plain" -v pf="$copy_frames" \
        'BEGIN { printf "%.2f", (d + m) / f / (p / pf) }')
    with_wrapper=$(awk -v d="$driver" -v m="$((copy + wrapper))" -v f="$frames" -v p="$plain" \
        -v pf="$copy_frames" 'BEGIN { printf "%.2f", (d + m) / f / (p / pf) }')
    echo "  (driver code + its copy) / plain copy = $ratio" \
        "(with the host routines' own: $with_wrapper)"
    local goal=-
    if [ "$length" = 1514 ]; then
        goal="<= $send_target"
        awk -v r="$ratio" -v t="$send_target" 'BEGIN {
            printf "  target: <= %.1f x the plain copy: %s\n", t, (r <= t ? "met" : "missed") }'
    fi
    report_figure "driver send $length B, x plain copy" "$ratio" ratio "$goal"
}

paths=("$@")
[ ${#paths[@]} -eq 0 ] && paths=(receive/60 receive/1514)
for path in "${paths[@]}"; do
    report_path "$path"
done
