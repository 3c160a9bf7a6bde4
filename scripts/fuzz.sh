#!/usr/bin/env bash
# Fuzzes the hub's and the client's chunk handling with libFuzzer for SECONDS
# (default 600), then merges the inputs that reached new code into the seed corpus.
#
#   scripts/fuzz.sh [SECONDS] [extra libFuzzer flags...]
#
# Builds with clang in build-fuzz/ (AddressSanitizer and UndefinedBehaviorSanitizer on).
# New inputs are found in build-fuzz/new-corpus/; a crash is written to
# build-fuzz/crash-* and can be replayed with build-fuzz/chunk_fuzzer FILE.
# FUZZ_JOBS=N runs N fuzzing processes in parallel (default 1).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-600}"
shift || true
build="$root/build-fuzz"
corpus="$root/tests/fuzz/corpus"
jobs="${FUZZ_JOBS:-1}"

"$root/scripts/setup.sh" clang libclang-rt-14-dev

CC=clang CXX=clang++ cmake -S "$root/tests/fuzz" -B "$build" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target chunk_fuzzer chunk_replay_asan

mkdir -p "$build/new-corpus"
cd "$build"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
if [ "$jobs" -gt 1 ]; then
    ./chunk_fuzzer -dict="$root/tests/fuzz/lanchat.dict" -max_total_time="$seconds" \
        -max_len=4096 -timeout=10 -print_final_stats=1 \
        -jobs="$jobs" -workers="$jobs" "$@" new-corpus "$corpus" || status=$?
else
    ./chunk_fuzzer -dict="$root/tests/fuzz/lanchat.dict" -max_total_time="$seconds" \
        -max_len=4096 -timeout=10 -print_final_stats=1 "$@" new-corpus "$corpus" || status=$?
fi
if [ "$status" -ne 0 ]; then
    echo "fuzzing stopped with status $status: see the crash-* file in $build" >&2
    exit "$status"
fi

# Keep the seed corpus small: only inputs that reach code the corpus does not reach yet
# are merged in (edges only: hit counts and comparison operands would add hundreds).
./chunk_fuzzer -merge=1 -use_counters=0 -use_cmp=0 -max_len=4096 "$corpus" new-corpus 2>&1 | grep -E 'MERGE-OUTER: [0-9]+ new files' || true
echo "corpus: $(ls "$corpus" | wc -l) files, $(du -sh "$corpus" | cut -f1)"
