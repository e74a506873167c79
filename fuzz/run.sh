#!/bin/sh
# Runs the fuzz targets of a fuzz build folder (see the fuzz and
# fuzz-regression targets of the Makefile).
#
#   sh fuzz/run.sh --build DIR [--seconds N] [--regression] [TARGET...]
#
# Each target fuzzes for N seconds (default 60) over a working copy of its
# committed seeds, DIR/fuzz-work/TARGET/corpus, where new entries go; the
# committed corpus is never written. With --regression every committed seed
# is first run once on its own. A line per target tells the run time, the
# executions, libFuzzer's final coverage (cov: edges, ft: features) and the
# size of the working corpus. A crash, a failed check or a sanitizer report
# fails the run; the input is left in DIR/fuzz-work/TARGET/ as crash-*,
# leak-*, timeout-* or oom-*, with the log beside it.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=""
seconds=60
regression=0

usage() {
    echo "usage: sh fuzz/run.sh --build DIR [--seconds N] [--regression] [TARGET...]" >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case "$1" in
    --build) [ $# -ge 2 ] || usage; build=$2; shift 2 ;;
    --seconds) [ $# -ge 2 ] || usage; seconds=$2; shift 2 ;;
    --regression) regression=1; shift ;;
    -*) usage ;;
    *) break ;;
    esac
done
[ -n "$build" ] || usage
build=$(cd "$build" && pwd)

if [ $# -gt 0 ]; then
    targets="$*"
else
    targets=""
    for source in "$root"/fuzz/fuzz_*.cpp; do
        targets="$targets $(basename "$source" .cpp)"
    done
fi

failed=""
printf '%-18s %8s %11s %7s %8s %8s\n' target seconds executions cov ft corpus
for target in $targets; do
    program="$build/fuzz/$target"
    seeds="$root/fuzz/corpus/$target"
    work="$build/fuzz-work/$target"
    if [ ! -x "$program" ]; then
        echo "$target: $program is not built" >&2
        failed="$failed $target"
        continue
    fi
    if ! ls "$seeds"/* >/dev/null 2>&1; then
        echo "$target: no seeds in $seeds" >&2
        failed="$failed $target"
        continue
    fi
    rm -rf "$work"
    mkdir -p "$work/corpus"
    cp "$seeds"/* "$work/corpus/"

    if [ "$regression" -eq 1 ]; then
        if ! "$program" -artifact_prefix="$work/" "$seeds"/* >"$work/seeds.log" 2>&1; then
            echo "$target: a committed seed fails; log: $work/seeds.log" >&2
            grep -E 'check failed|ERROR|SUMMARY|Test unit written' "$work/seeds.log" >&2 || tail -20 "$work/seeds.log" >&2
            failed="$failed $target"
            continue
        fi
    fi

    status=0
    "$program" -max_total_time="$seconds" -timeout=25 -print_final_stats=1 -artifact_prefix="$work/" \
        "$work/corpus" >"$work/fuzz.log" 2>&1 || status=$?
    runs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1/p' "$work/fuzz.log" | tail -1)
    took=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\2/p' "$work/fuzz.log" | tail -1)
    stats=$(grep -E '^#[0-9]+' "$work/fuzz.log" | grep ' cov: ' | tail -1)
    cov=$(printf '%s\n' "$stats" | sed -n 's/.* cov: \([0-9]*\).*/\1/p')
    ft=$(printf '%s\n' "$stats" | sed -n 's/.* ft: \([0-9]*\).*/\1/p')
    entries=$(find "$work/corpus" -type f | wc -l)
    printf '%-18s %8s %11s %7s %8s %8s\n' "$target" "${took:--}" "${runs:--}" "${cov:--}" "${ft:--}" "$entries"
    if [ "$status" -ne 0 ]; then
        echo "$target: failed (exit status $status); log: $work/fuzz.log" >&2
        grep -E 'check failed|ERROR|SUMMARY|Test unit written' "$work/fuzz.log" >&2 || tail -20 "$work/fuzz.log" >&2
        failed="$failed $target"
    fi
done

if [ -n "$failed" ]; then
    echo "fuzz: failed:$failed" >&2
    exit 1
fi
