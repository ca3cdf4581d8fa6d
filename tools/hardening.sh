#!/usr/bin/env bash
# CI hardening stage: the tests under AddressSanitizer, UndefinedBehaviorSanitizer and
# LeakSanitizer, then a bounded run of each fuzzer (payload decoding, Settings.conf). Exits
# non-zero on any failing test, sanitizer report, leak, fuzzer crash or broken fuzzer check.
# Needs the packages of tools/install-deps.sh (clang and libclang-rt-14-dev for the fuzzers).
#
#   tools/hardening.sh [tests|fuzz]   both stages, or only the one named
#
#   ASAN_BUILD_DIR  build directory of the sanitizer tests  (default build-asan)
#   FUZZ_BUILD_DIR  build directory of the fuzzers          (default build-fuzz)
#   FUZZ_SECONDS    length of each fuzzing run, at most 60  (default 45)
#   FUZZ_SEED       libFuzzer seed, to replay a failed run  (default: random, printed)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

stage=${1:-all}
asan_build=${ASAN_BUILD_DIR:-build-asan}
fuzz_build=${FUZZ_BUILD_DIR:-build-fuzz}
fuzz_seconds=${FUZZ_SECONDS:-45}
jobs=$(nproc)

case $stage in
all | tests | fuzz) ;;
*)
    echo "usage: $0 [tests|fuzz]" >&2
    exit 2
    ;;
esac
if [ "$fuzz_seconds" -gt 60 ]; then
    echo "hardening: FUZZ_SECONDS is at most 60" >&2
    exit 2
fi
for tool in cmake ctest clang++; do
    command -v "$tool" >/dev/null || {
        echo "hardening: $tool is missing; run tools/install-deps.sh" >&2
        exit 2
    }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/zelmar-hardening.XXXXXX")
keep_work=0
cleanup() { [ "$keep_work" = 1 ] || rm -rf "$work"; }
trap cleanup EXIT
mkdir -m 700 "$work/xdg"
export XDG_RUNTIME_DIR="$work/xdg"

# Reports end the process with a failure status and name every frame. The slow unwinder is
# needed for leaks: Qt is built without frame pointers, and the suppressions name frames inside
# it (see fuzz/lsan.supp for each entry and why).
asan_checked="halt_on_error=1:abort_on_error=0:detect_leaks=1:fast_unwind_on_malloc=0"
asan_checked+=":detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:report_error_type=1"
export LSAN_OPTIONS="suppressions=$root/fuzz/lsan.supp:print_suppressions=0"

step() { printf '\n== hardening: %s (%ds)\n' "$1" "$SECONDS"; }

# A sanitizer report that some path let through with a zero status still fails the stage.
check_log() {
    if grep -E -n 'ERROR: (Address|Leak|UndefinedBehavior)Sanitizer|runtime error:' "$1" >&2; then
        echo "hardening: sanitizer report in $1" >&2
        return 1
    fi
}

fuzz_failed() {
    keep_work=1
    echo "hardening: $1; inputs and logs kept in $work" >&2
    exit 1
}

# (a) Every test, built with the sanitizers.
run_tests() {
    step "sanitizer build of the tests in $asan_build"
    cmake -S . -B "$asan_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELMAR_SANITIZE=ON \
        -DZELMAR_BUILD_TESTS=ON -DZELMAR_BUILD_BENCHMARKS=OFF -DZELMAR_FUZZ=OFF
    cmake --build "$asan_build" --parallel "$jobs"

    step "tests under ASan, UBSan and LSan"
    ASAN_OPTIONS=$asan_checked ctest --test-dir "$asan_build" --output-on-failure --parallel "$jobs" \
        2>&1 | tee "$work/ctest.log"
    check_log "$work/ctest.log"
}

# (b) The fuzzers: clang, the sanitizers and coverage on the whole library.
run_fuzzers() {
    step "fuzzer build in $fuzz_build"
    cmake -S . -B "$fuzz_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
        -DZELMAR_FUZZ=ON -DZELMAR_SANITIZE=ON -DZELMAR_BUILD_TESTS=OFF -DZELMAR_BUILD_BENCHMARKS=OFF
    cmake --build "$fuzz_build" --parallel "$jobs" --target fuzz_payload fuzz_settings

    # Payloads are short. Settings.conf is fuzzed at up to 64 KiB, where the fuzzer makes
    # hundreds of runs a second, and files of a megabyte are replayed beside what it found: the
    # time of each is bounded by -timeout like any other's.
    fuzz fuzz_payload fuzz/corpus fuzz/payload.dict 4096
    mkdir -p "$work/fuzz_settings/large"
    big_settings "$work/fuzz_settings/large"
    fuzz fuzz_settings fuzz/settings-corpus fuzz/settings.dict 65536 "$work/fuzz_settings/large"
}

# Two seeds of a megabyte: many sections and keys, and one value that never ends.
big_settings() {
    local out=$1
    cp fuzz/settings-corpus/hand-edited.conf "$out/many-sections.conf"
    while [ "$(stat -c %s "$out/many-sections.conf")" -lt 1048576 ]; do
        cat "$out/many-sections.conf" "$out/many-sections.conf" >"$out/twice"
        mv "$out/twice" "$out/many-sections.conf"
    done
    truncate -s 1048576 "$out/many-sections.conf"
    { printf 'k="'; head -c 1048572 /dev/zero | tr '\0' 'v'; } >"$out/one-value.conf"
}

# fuzz NAME SEEDS DICTIONARY MAX_LEN [REPLAYED]: REPLAYED holds inputs that are only replayed
fuzz() {
    local name=$1 seeds=$2 dict=$3 max_len=$4 replayed=${5:-}
    local fuzzer dir="$work/$name"
    fuzzer="$(cd "$fuzz_build" && pwd)/fuzz/$name"

    # The run works on a copy of the seeds, so the repository never sees what it adds or finds.
    mkdir -p "$dir/corpus" "$dir/artifacts"
    cp -r "$seeds/." "$dir/corpus"

    # First fuzz fast: memory errors, undefined behaviour and the fuzzer's own checks stop it at
    # once. Leak checking waits for the replay below, because naming the frames of a leak inside
    # Qt takes the slow unwinder on every allocation, at a thirtieth of the speed.
    step "fuzzing $name for ${fuzz_seconds}s"
    local seed_flag=()
    [ -z "${FUZZ_SEED:-}" ] || seed_flag=(-seed="$FUZZ_SEED")
    (
        cd "$dir"
        ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=0" "$fuzzer" \
            -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$max_len" \
            -dict="$root/$dict" -artifact_prefix="$dir/artifacts/" -print_final_stats=1 \
            "${seed_flag[@]}" "$dir/corpus"
    ) >"$dir/fuzz.log" 2>&1 || {
        tail -n 60 "$dir/fuzz.log" >&2
        fuzz_failed "$name failed"
    }
    check_log "$dir/fuzz.log" || fuzz_failed "$name reported"
    grep -E '^(INFO: Seed|Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$dir/fuzz.log" || true

    # Then every input the run kept, seeds included, once more with leak checking on; a leak that
    # no entry of fuzz/lsan.supp explains fails the stage.
    local inputs=("$dir/corpus")
    [ -z "$replayed" ] || inputs+=("$replayed")
    step "replaying $(find "${inputs[@]}" -type f | wc -l) inputs of $name with leak checking"
    (
        cd "$dir"
        ASAN_OPTIONS=$asan_checked "$fuzzer" -runs=0 -timeout=10 -artifact_prefix="$dir/artifacts/" \
            "${inputs[@]}"
    ) >"$dir/replay.log" 2>&1 || {
        tail -n 80 "$dir/replay.log" >&2
        fuzz_failed "the replay of $name failed"
    }
    check_log "$dir/replay.log" || fuzz_failed "the replay of $name reported"
}

[ "$stage" = fuzz ] || run_tests
[ "$stage" = tests ] || run_fuzzers
step "passed"
