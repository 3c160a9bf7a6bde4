#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds lanchat and its tests with AddressSanitizer and UndefinedBehaviorSanitizer
# in build-asan/ and runs the whole ctest suite there. The build is optimised
# (RelWithDebInfo), so that the timing of the loopback tests resembles the release
# build's: faults that only show when events interleave as they do there, such as a
# socket destroyed under its own call, get their chance. Any report fails the run:
# UBSan halts on its first finding, ASan on any memory error or leak. Leak checking
# is fully on: the suite, widget tests included, leaks nothing, Qt's own allocations
# included, so no suppression list is needed.
#
#   scripts/sanitize-test.sh [extra ctest arguments...]
#
# Takes about 4 minutes on two cores, most of it the build (the package test is left
# out by ./test).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${LANCHAT_ASAN_BUILD:-$root/build-asan}"

"$root/scripts/setup.sh"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLANCHAT_SANITIZE=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1:strict_init_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

cd "$build"
start=$(date +%s)
status=0
ctest --output-on-failure -j2 "$@" || status=$?
echo "sanitized suite: $(( $(date +%s) - start )) s, exit $status"
exit "$status"
