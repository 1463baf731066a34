#!/usr/bin/env bash
# Builds the fuzz harnesses (clang, ASan + UBSan, build-fuzz/), makes the seed
# corpora with the library (fuzz/corpus/<harness>/), and runs the harnesses, JOBS
# (default 2) at a time, each for the given number of seconds, printing its execs
# per second and total execs. Any crash, leak or sanitizer report fails the run; the input is kept
# in build-fuzz/artifacts/.
#   fuzz/run.sh [seconds] [harness...]     (default 60 s, every harness)
# FUZZ_RUNS=N also stops each harness after N execs.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-60}
shift || true
ALL=(apptable usertable blob container registry escrow archive)
HARNESSES=("${@:-${ALL[@]}}")
[ $# -eq 0 ] && HARNESSES=("${ALL[@]}")
BUILD=${FUZZ_BUILD:-build-fuzz}
JOBS=${JOBS:-2}

# FUZZ_BUILD_CONFIGURED=1: FUZZ_BUILD is a build with the harnesses configured by the caller (the
# test command's sanitizer build), used as it is.
if [ "${FUZZ_BUILD_CONFIGURED:-0}" != 1 ]; then
  CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S . -B "$BUILD" -G Ninja -DVK_BUILD_FUZZ=ON -DVK_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="-O1 -gline-tables-only" -DCMAKE_C_FLAGS="-O1 -gline-tables-only" >/dev/null
fi
nice cmake --build "$BUILD" -j"$JOBS" --target vkfuzz_seeds $(printf 'fuzz_%s ' "${HARNESSES[@]}")

# Roots live on a memory file system when there is one, in a folder of this run only.
tmp_parent=/tmp
[ -w /dev/shm ] && tmp_parent=/dev/shm
VKFUZZ_TMP=$(mktemp -d "$tmp_parent/vkfuzz-run-XXXXXX")
export VKFUZZ_TMP
trap 'rm -rf "$VKFUZZ_TMP"' EXIT

# Made beside and moved in place, so a run that is reading the seeds never sees them half made.
"$BUILD/bin/vkfuzz_seeds" "$VKFUZZ_TMP/corpus" >/dev/null
rm -rf fuzz/corpus.old
[ -d fuzz/corpus ] && mv fuzz/corpus fuzz/corpus.old
mv "$VKFUZZ_TMP/corpus" fuzz/corpus
rm -rf fuzz/corpus.old
mkdir -p "$BUILD/artifacts"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
runs=()
[ -n "${FUZZ_RUNS:-}" ] && runs=(-runs="$FUZZ_RUNS")
# One harness: its result line into $VKFUZZ_TMP/result_<harness>, and on failure its log kept.
fuzz_one() {
  local h=$1 work="$BUILD/corpus-work/$1" log="$VKFUZZ_TMP/fuzz_$1.log" result=ok execs rate
  mkdir -p "$work"
  # The work folder keeps what a run found for the next; the seeds come fresh each time.
  if ! nice "$BUILD/bin/fuzz_$h" -max_total_time="$SECONDS_EACH" "${runs[@]}" -print_final_stats=1 \
      -artifact_prefix="$BUILD/artifacts/$h-" "$work" "fuzz/corpus/$h" >"$log" 2>&1; then
    result=FAILED
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  printf '%-10s %10s %12s %8s\n' "$h" "${rate:-?}" "${execs:-?}" "$result" >"$VKFUZZ_TMP/result_$h"
  if [ "$result" != ok ]; then
    cp "$log" "$BUILD/artifacts/"
    { grep -E "ERROR|SUMMARY|runtime error|fuzz_$h:" "$log" | head -5 || true
      echo "  log: $BUILD/artifacts/fuzz_$h.log"; } >>"$VKFUZZ_TMP/result_$h"
  fi
}

# JOBS harnesses at a time, each for its own time: one a core.
running=0
for h in "${HARNESSES[@]}"; do
  if [ "$running" -ge "$JOBS" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz_one "$h" &
  running=$((running + 1))
done
wait

status=0
printf '%-10s %10s %12s %8s\n' harness execs/s execs result
for h in "${HARNESSES[@]}"; do
  [ -f "$VKFUZZ_TMP/result_$h" ] || { echo "$h: no result"; status=1; continue; }
  cat "$VKFUZZ_TMP/result_$h"
  head -1 "$VKFUZZ_TMP/result_$h" | grep -q ' ok$' || status=1
done
exit $status
