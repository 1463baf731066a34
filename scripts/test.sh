#!/usr/bin/env bash
# The whole test suite: a build with warnings as errors and its tests, the example
# client built against the installed package, then the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer (any report fails the run), and
# a short run of each fuzz harness (clang, build-fuzz/; any crash fails the run). The TPM
# tests use a swtpm simulator the script starts (scripts/swtpm.sh) and stops. Last,
# the Windows build (one Release build, no sanitizers), its demo story and its tests
# under Wine, each in a fresh prefix (scripts/windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

JOBS=${JOBS:-2}
BUILD=${BUILD:-build}
ASAN_BUILD=${ASAN_BUILD:-build-asan}

echo "== build (warnings as errors)"
cmake -S . -B "$BUILD" -G Ninja -DVK_WERROR=ON >/dev/null
cmake --build "$BUILD" -j"$JOBS"

echo "== example client against the installed package"
rm -rf "$BUILD/install" "$BUILD/example"
cmake --install "$BUILD" --prefix "$PWD/$BUILD/install" >/dev/null
if [ -f examples/CMakeLists.txt ]; then
  cmake -S examples -B "$BUILD/example" -G Ninja -DCMAKE_PREFIX_PATH="$PWD/$BUILD/install" >/dev/null
  cmake --build "$BUILD/example" -j"$JOBS"
  ex_root=$(mktemp -d)
  VAULTKEEP_ROOT="$ex_root" "$BUILD/example/vaultkeep_example"
  rm -rf "$ex_root"
fi

# The TPM backend's tests (provider contract and credentials end to end) run
# against this simulator; it is stopped when the script exits.
source scripts/swtpm.sh
start_swtpm

echo "== sanitizer build"
cmake -S . -B "$ASAN_BUILD" -G Ninja -DVK_WERROR=ON -DVK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$ASAN_BUILD" -j"$JOBS"
echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
# The fault-injection matrix and the kill campaign replay the same paths hundreds of times; they run in
# the plain build below, where it takes a minute rather than several.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir "$ASAN_BUILD" -j"$JOBS" --output-on-failure -E 'ExportFaults|KillCampaign'

echo "== tests"
ctest --test-dir "$BUILD" -j"$JOBS" --output-on-failure
rm -rf /tmp/vktest-proc-* 2>/dev/null || true

echo "== fuzz harnesses, ${FUZZ_SECONDS:-3} s each"
JOBS="$JOBS" bash fuzz/run.sh "${FUZZ_SECONDS:-3}"

echo "== Windows build, demo and tests under Wine"
bash scripts/windows.sh build
# The story's output is long; it is shown only when a step goes wrong.
demo_log=$(mktemp)
if ! bash scripts/demo.sh --windows >"$demo_log"; then
  cat "$demo_log"
  rm -f "$demo_log"
  exit 1
fi
rm -f "$demo_log"
echo "Windows demo story: every step behaved as expected"
bash scripts/windows.sh test
