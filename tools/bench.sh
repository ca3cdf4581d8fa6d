#!/usr/bin/env bash
# Builds the benchmarks with optimisation and runs them all, then prints one
# table: each figure, its target and PASS or MISS. Exits non-zero if a target
# is missed or a benchmark fails. Not part of ctest: the figures depend on the
# machine and take a minute or two to gather.
#
#   tools/bench.sh [NAME...]   only the benchmarks named (payload, routing,
#                              window, summary, ingest, ingest-summary,
#                              ingest-history, ingest-watch, plant, memory,
#                              responsiveness, silence, history, settings,
#                              postgres, recorder, recorder-postgres)
#
# Assumes the packages of tools/install-deps.sh are installed. BENCH_BUILD_DIR
# chooses the build directory (default build-bench).
set -euo pipefail
cd "$(dirname "$0")/.."

# Not BUILD_DIR: that is the test build's, which this would configure without tests.
build=${BENCH_BUILD_DIR:-build-bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELMAR_BUILD_TESTS=OFF -DZELMAR_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" --parallel "$(nproc)" --target \
    bench_payload bench_routing bench_window bench_summary bench_ingest bench_plant bench_memory \
    bench_responsiveness bench_silence bench_history bench_settings bench_postgres bench_recorder >/dev/null

export QT_QPA_PLATFORM=offscreen
log=$(mktemp -d)
trap 'rm -rf "$log"' EXIT
touch "$log/rows"
failed=0
wanted=" $* "

run() {
    local name=$1
    shift
    if [ "$wanted" != "  " ] && [[ $wanted != *" $name "* ]]; then
        return 1
    fi
    echo "running $name..." >&2
    if ! "$@" >"$log/$name.out" 2>"$log/$name.err"; then
        echo "$name failed; its last words:" >&2
        tail -n 5 "$log/$name.err" >&2
        failed=1
    fi
    grep '^row|' "$log/$name.out" >>"$log/rows" || true
    return 0
}

# bench_payload is a Google Benchmark; its own target is that a panel showing
# a repeated reading costs at most twice the decoding of it.
run payload "$build/bench/bench_payload" --benchmark_format=csv --benchmark_min_time=0.5 &&
    awk -F, '
    $1 == "\"BM_ParsePayload\"" { parse = $4 }
    $1 == "\"BM_ShowPayloadUnchanged\"" { same = $4 }
    $1 == "\"BM_ShowPayloadChanging\"" { changing = $4 }
    END {
        if (parse == "" || same == "") { print "row|payload|run|failed|completes|MISS"; exit }
        printf "row|payload|µs to decode / show repeated / show changing|%.2f / %.2f / %.2f|-|-\n",
            parse / 1000, same / 1000, changing / 1000
        ratio = same / parse
        printf "row|payload|show repeated reading ÷ decode|%.2f|≤ 2|%s\n", ratio, ratio <= 2 ? "PASS" : "MISS"
    }' "$log/payload.out" >>"$log/rows"

run routing "$build/bench/bench_routing" || true
run window "$build/bench/bench_window" || true
run summary "$build/bench/bench_summary" || true
run ingest "$build/bench/bench_ingest" || true
run ingest-summary "$build/bench/bench_ingest" --mode summary --meters 1000 --repeat 5 || true
run ingest-history "$build/bench/bench_ingest" --mode history --meters 100 --repeat 5 || true
run ingest-watch "$build/bench/bench_ingest" --mode watch --meters 1000 --repeat 5 || true
run plant "$build/bench/bench_plant" || true
run memory "$build/bench/bench_memory" || true
run responsiveness "$build/bench/bench_responsiveness" || true
run silence "$build/bench/bench_silence" || true
run history "$build/bench/bench_history" || true
run settings "$build/bench/bench_settings" || true
run postgres "$build/bench/bench_postgres" || true
run recorder "$build/bench/bench_recorder" || true
run recorder-postgres "$build/bench/bench_recorder" --store postgresql || true

echo
{
    echo "benchmark|figure|measured|target|verdict"
    cut -d'|' -f2- "$log/rows"
} | column -t -s'|' -o '  '

if grep -q '|MISS$' "$log/rows" || [ "$failed" -ne 0 ]; then
    exit 1
fi
