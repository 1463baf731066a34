#!/usr/bin/env bash
# The whole test suite: a build with warnings as errors, the example clients (CMake, and C
# with pkg-config) built against the installed tree with the export list of every installed
# library checked, and the build's tests; then the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer (any report fails the run) in a clang
# build that also holds the fuzz harnesses, and a short run of each harness (any crash
# fails the run). The TPM tests use a swtpm simulator the script starts (scripts/swtpm.sh)
# and stops. And the Windows build (one Release build, no sanitizers), its demo story and
# its tests under Wine, each in a fresh prefix (scripts/windows.sh): that chain, its
# packages and dependencies first, runs beside the Linux one from the start, since each
# leaves a core idle much of the time. Each phase prints its duration, and a table of
# them ends the run.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-2}
BUILD=${BUILD:-build}
ASAN_BUILD=${ASAN_BUILD:-build-asan}
RUN_TMP=$(mktemp -d "${TMPDIR:-/tmp}/vaultkeep-test-XXXXXX")
WIN_PID=
START=$SECONDS

# phase NAME COMMAND...: runs one phase, then prints its duration and notes it for the table.
phase() {
  local name=$1 start=$SECONDS
  shift
  echo "== $name"
  "$@"
  printf '%5d s  %s\n' $((SECONDS - start)) "$name" | tee -a "$RUN_TMP/times"
}

cleanup() {
  local p
  if [ -n "$WIN_PID" ]; then
    kill -- "-$WIN_PID" 2>/dev/null || true
    wait "$WIN_PID" 2>/dev/null || true
  fi
  for p in "$RUN_TMP"/vaultkeep-wine-*; do
    [ -d "$p" ] && WINEPREFIX=$p /usr/lib/wine/wineserver64 -k 2>/dev/null || true
  done
  stop_swtpm
  rm -rf "$RUN_TMP"
}
source scripts/swtpm.sh
trap cleanup EXIT

phase "setup (Linux)" bash scripts/setup.sh linux

# Every build (gcc, clang with the sanitizers and the fuzz harnesses, mingw-w64) goes
# through ccache with one cache per machine. Paths are made relative to the checkout and
# the build folder is left out of the key, so a fresh clone anywhere reuses what any
# earlier run compiled.
if command -v ccache >/dev/null && mkdir -p "${CCACHE_DIR:=/var/cache/vaultkeep/ccache}" 2>/dev/null &&
  [ -w "$CCACHE_DIR" ]; then
  export CCACHE_DIR CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=true
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi

# The Windows chain, from its packages to its tests under Wine, in a process group of its
# own; its output comes at the end.
windows_chain() {
  set +m # one process group for all of it, so an interrupted run can stop it whole
  export TMPDIR=$RUN_TMP # the Wine prefixes, so an interrupted run's are removed too
  local demo_log=$RUN_TMP/demo.log
  windows_demo() {
    # The story's output is long; it is shown only when a step goes wrong.
    bash scripts/demo.sh --windows >"$demo_log" 2>&1 || { cat "$demo_log"; return 1; }
    echo "Windows demo story: every step behaved as expected"
  }
  phase "setup (Windows packages and dependencies)" bash scripts/setup.sh windows
  phase "Windows build" bash scripts/windows.sh build
  phase "Windows demo story under Wine" windows_demo
  phase "Windows tests under Wine" bash scripts/windows.sh test
}
set -m
windows_chain >"$RUN_TMP/windows.log" 2>&1 &
WIN_PID=$!
set +m

# Line tables only (-g1): a fifth less compile time than full debug information, and the tests
# read no variable in a debugger.
build() {
  cmake -S . -B "$BUILD" -G Ninja -DVK_WERROR=ON "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" >/dev/null
  nice cmake --build "$BUILD" -j"$JOBS"
}
phase "build (warnings as errors)" build

# The installed tree as a client sees it: every library's export list, the CMake example, and
# the C story built with pkg-config, whose own Win32-named functions the library must never call.
example() {
  rm -rf "$BUILD/install" "$BUILD/example" "$BUILD/cstory"
  cmake --install "$BUILD" --prefix "$PWD/$BUILD/install" >/dev/null
  bash scripts/exports.sh "$BUILD/install/lib"
  cmake -S examples -B "$BUILD/example" -G Ninja -DCMAKE_PREFIX_PATH="$PWD/$BUILD/install" >/dev/null
  cmake --build "$BUILD/example" -j"$JOBS"
  local ex_root
  ex_root=$(mktemp -d "$RUN_TMP/example-XXXXXX")
  VAULTKEEP_ROOT="$ex_root" "$BUILD/example/vaultkeep_example"
  mkdir -p "$BUILD/cstory"
  PKG_CONFIG_PATH="$PWD/$BUILD/install/lib/pkgconfig" make -s -C "$BUILD/cstory" -f "$PWD/examples/c/Makefile" \
    VPATH="$PWD/examples/c"
  ex_root=$(mktemp -d "$RUN_TMP/story-XXXXXX")
  VAULTKEEP_ROOT="$ex_root/root" "$BUILD/cstory/story" "$ex_root/carol.zip"
}
phase "example clients against the installed package" example

# Each test process's own root (it holds only lock files) goes below this run's temporary folder.
export VKTEST_PROC_DIR=$RUN_TMP

# The TPM backend's tests (provider contract and credentials end to end) run
# against this simulator; it is stopped when the script exits.
start_swtpm
trap cleanup EXIT # start_swtpm sets its own

# The plain tests come first, while the Windows build is still compiling: they keep a core and a
# half busy, and that build, niced, takes the rest. The sanitizer build then runs beside Wine,
# which leaves a core idle most of the time.
tests() {
  ctest --test-dir "$BUILD" -j"$JOBS" --output-on-failure
}
phase "tests" tests

# One clang build serves the sanitizer tests and the fuzz harnesses (VK_BUILD_FUZZ brings the
# sanitizers and the coverage the fuzzer steers by). -O1 with assertions: the harnesses run at
# full speed, and the cases themselves are compiled -O0 anyway.
asan_build() {
  cmake -S . -B "$ASAN_BUILD" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVK_WERROR=ON \
    -DVK_BUILD_FUZZ=ON -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_C_FLAGS_DEBUG=-O1 -g" "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g" >/dev/null
  nice cmake --build "$ASAN_BUILD" -j"$JOBS"
}
phase "sanitizer build" asan_build

# The fault-injection matrix and the kill campaign replay the same paths hundreds of times; they run in
# the plain build above, where it takes a minute rather than several.
asan_tests() {
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir "$ASAN_BUILD" -j"$JOBS" --output-on-failure -E 'ExportFaults|KillCampaign'
}
phase "tests under AddressSanitizer and UndefinedBehaviorSanitizer" asan_tests

phase "fuzz harnesses, ${FUZZ_SECONDS:-3} s each" env JOBS="$JOBS" FUZZ_BUILD="$ASAN_BUILD" FUZZ_BUILD_CONFIGURED=1 \
  bash fuzz/run.sh "${FUZZ_SECONDS:-3}"

win_rc=0
wait "$WIN_PID" || win_rc=$?
WIN_PID=
echo "== Windows build, demo and tests under Wine (run beside the Linux chain)"
cat "$RUN_TMP/windows.log"
[ "$win_rc" -eq 0 ]

echo "== phases (total $((SECONDS - START)) s)"
cat "$RUN_TMP/times"
