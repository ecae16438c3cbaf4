#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the whole suite with AddressSanitizer and UndefinedBehaviorSanitizer (and leak
# checking) in build-asan/ and runs it. Not part of CI: run it before a change lands.
#   scripts/sanitize.sh [ctest arguments...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${TESSARO_ASAN_BUILD:-$top/build-asan}

"$top/scripts/setup.sh" test
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTESSARO_WERROR=ON \
      -DTESSARO_SANITIZE=address,undefined -DTESSARO_BUILD_UI=ON
cmake --build "$build"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Leaks inside the system's font and desktop libraries are theirs, not ours.
export LSAN_OPTIONS=suppressions=$top/scripts/lsan.supp:print_suppressions=0
ctest --test-dir "$build" --output-on-failure -j2 "$@"
