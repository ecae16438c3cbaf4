#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the fuzz targets with clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer
# in build-fuzz/ and runs them. Not part of CI (CI replays the kept crashing inputs).
#
#   scripts/fuzz.sh TARGET SECONDS   run one target for that long
#   scripts/fuzz.sh all SECONDS      run every target in turn, each for that long
#
# Targets: open_package, list_sheets, copy_from, copy_into (the fuzz_ prefix may be given).
# Each target keeps its corpus in build-fuzz/fuzz/TARGET/corpus between runs; every run
# also starts from the built-in seed workbooks and from the workbooks of the shared corpus
# ($TESSARO_SHARED_DIR, by default ../shared beside the project), both as they are and as
# parts text. Inputs that crash, leak or hang land in build-fuzz/fuzz/TARGET/findings; the
# script ends with status 1 when there are any. To keep one as a regression test, minimise
# it and put it in tests/fuzz/regressions/TARGET/:
#   build-fuzz/tests/fuzz/fuzz_TARGET -minimize_crash=1 -max_total_time=60 -exact_artifact_path=OUT FILE
# Runs are one process at a time (the machine is shared): FUZZ_FLAGS adds libFuzzer options.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${TESSARO_FUZZ_BUILD:-$top/build-fuzz}
shared=${TESSARO_SHARED_DIR:-$top/../shared}
max_len=${FUZZ_MAX_LEN:-524288}
all_targets=(open_package list_sheets copy_from copy_into)

usage() {
  echo "usage: $0 TARGET|all SECONDS   (targets: ${all_targets[*]})" >&2
  exit 2
}
[ $# -eq 2 ] || usage
case "$2" in ''|*[!0-9]*) usage ;; esac
seconds=$2
if [ "$1" = all ]; then
  targets=("${all_targets[@]}")
else
  targets=("${1#fuzz_}")
  [[ " ${all_targets[*]} " == *" ${targets[0]} "* ]] || usage
fi

"$top/scripts/setup.sh" test
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
      -DTESSARO_FUZZ=ON -DTESSARO_BUILD_TESTS=OFF -DTESSARO_BUILD_UI=OFF -DTESSARO_WITH_LIBREOFFICE=OFF >/dev/null
cmake --build "$build" --target fuzz_write_seeds "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for t in "${targets[@]}"; do
  work=$build/fuzz/$t
  mkdir -p "$work/corpus" "$work/findings"
  rm -rf "$work/seeds"
  "$build/tests/fuzz/fuzz_write_seeds" "$work/seeds"
  if [ -d "$shared/corpus" ]; then
    for f in "$shared"/corpus/*.xlsx "$shared"/corpus/*.xlsm; do
      [ -f "$f" ] || continue
      name=$(basename "$f")
      if [ "$(stat -c %s "$f")" -le "$max_len" ]; then
        cp "$f" "$work/seeds/$name"
      fi
      /usr/bin/python3 "$top/tests/fuzz/parts_text.py" "$f" "$work/seeds/$name.txt"
      if [ "$(stat -c %s "$work/seeds/$name.txt")" -gt "$max_len" ]; then
        rm -f "$work/seeds/$name.txt"
      fi
    done
  else
    echo "fuzz: no shared corpus at $shared/corpus; starting from the built-in seeds only" >&2
  fi
  log=$work/run-$(date +%Y%m%d-%H%M%S).log
  echo "fuzz: $t for ${seconds}s (log: $log)" >&2
  before=$(find "$work/findings" -type f | wc -l)
  set +e
  "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len="$max_len" -timeout=30 -rss_limit_mb=4096 \
      -print_final_stats=1 -artifact_prefix="$work/findings/" ${FUZZ_FLAGS:-} \
      "$work/corpus" "$work/seeds" >"$log" 2>&1
  rc=$?
  set -e
  after=$(find "$work/findings" -type f | wc -l)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  echo "fuzz: $t: exit $rc, ${execs:-?} executions, corpus $(find "$work/corpus" -type f | wc -l) inputs," \
       "$((after - before)) new findings" >&2
  if [ "$rc" -ne 0 ] || [ "$after" -ne "$before" ]; then
    status=1
    grep -E "^==[0-9]+==ERROR|SUMMARY|invariant violated|Test unit written" "$log" | head -20 >&2 || true
  fi
done
# Scratch folders of runs that died.
for d in /dev/shm/tessaro-fuzz-* "${TMPDIR:-/tmp}"/tessaro-fuzz-*; do
  [ -d "$d" ] || continue
  pid=${d##*-}
  kill -0 "$pid" 2>/dev/null || rm -rf "$d"
done
exit $status
