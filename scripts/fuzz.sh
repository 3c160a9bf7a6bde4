#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fuzzes the hub's and the client's chunk handling with libFuzzer for SECONDS
# (default 600), then merges the inputs that reached new code into the seed corpus.
#
#   scripts/fuzz.sh [SECONDS] [extra libFuzzer flags...]
#   FUZZ_TARGET=socket scripts/fuzz.sh [SECONDS] ...
#
# FUZZ_TARGET=socket fuzzes instead the real socket array and hub window with raw
# clients on loopback (tests/fuzz/socket_fuzzer.cpp, corpus tests/fuzz/socket-corpus/).
# Builds with clang in build-fuzz/ (AddressSanitizer and UndefinedBehaviorSanitizer on).
# New inputs are found in build-fuzz/new-corpus/ (new-socket-corpus/); a crash is
# written to build-fuzz/crash-* and can be replayed with build-fuzz/chunk_fuzzer FILE
# (socket_fuzzer FILE).
# FUZZ_JOBS=N runs N fuzzing processes in parallel (default 1).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-600}"
shift || true
build="$root/build-fuzz"
jobs="${FUZZ_JOBS:-1}"
case "${FUZZ_TARGET:-chunk}" in
chunk) fuzzer=chunk_fuzzer; corpus="$root/tests/fuzz/corpus"; dict=lanchat.dict; new=new-corpus ;;
socket) fuzzer=socket_fuzzer; corpus="$root/tests/fuzz/socket-corpus"; dict=socket.dict; new=new-socket-corpus ;;
*) echo "FUZZ_TARGET is chunk or socket" >&2; exit 2 ;;
esac

"$root/scripts/setup.sh" clang libclang-rt-14-dev

CC=clang CXX=clang++ cmake -S "$root/tests/fuzz" -B "$build" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target "$fuzzer" "${fuzzer%_fuzzer}_replay_asan"

mkdir -p "$build/$new"
cd "$build"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
if [ "$jobs" -gt 1 ]; then
    "./$fuzzer" -dict="$root/tests/fuzz/$dict" -max_total_time="$seconds" \
        -max_len=4096 -timeout=10 -print_final_stats=1 \
        -jobs="$jobs" -workers="$jobs" "$@" "$new" "$corpus" || status=$?
else
    "./$fuzzer" -dict="$root/tests/fuzz/$dict" -max_total_time="$seconds" \
        -max_len=4096 -timeout=10 -print_final_stats=1 "$@" "$new" "$corpus" || status=$?
fi
if [ "$status" -ne 0 ]; then
    echo "fuzzing stopped with status $status: see the crash-* file in $build" >&2
    exit "$status"
fi

# Keep the seed corpus small: only inputs that reach code the corpus does not reach yet
# are merged in (edges only: hit counts and comparison operands would add hundreds).
"./$fuzzer" -merge=1 -use_counters=0 -use_cmp=0 -max_len=4096 "$corpus" "$new" 2>&1 | grep -E 'MERGE-OUTER: [0-9]+ new files' || true
echo "corpus: $(ls "$corpus" | wc -l) files, $(du -sh "$corpus" | cut -f1)"
