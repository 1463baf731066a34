#!/usr/bin/env bash
# The long crash tests, beyond the default run:
#   scripts/kill-campaign.sh [KILLS] [SEED]
#     KILLS (default 1000) SIGKILLs at random moments of random sequences of
#     writing calls, each followed by a full read-back in a fresh process against
#     a model of the acknowledged calls; reports the kills, the calls
#     acknowledged and kept, and how the calls in flight ended.
#   scripts/kill-campaign.sh --full-matrix
#     every writing export with EIO at every system call of its write path
#     (opens and closes included), ENOSPC at every call that can allocate, and a
#     SIGKILL before every call that changes the disk.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh linux
BUILD=${BUILD:-build}
cmake -S . -B "$BUILD" -G Ninja -DVK_WERROR=ON >/dev/null
cmake --build "$BUILD" -j"${JOBS:-2}" --target fault_tests >/dev/null
if [ "${1:-}" = "--full-matrix" ]; then
  VK_FAULT_MATRIX=full ctest --test-dir "$BUILD" -j"${JOBS:-2}" -R 'ExportFaults' --output-on-failure
else
  VK_KILLS=${1:-1000} VK_KILL_SEED=${2:-$RANDOM} "$BUILD/bin/fault_tests" --gtest_filter='KillCampaign.*'
fi
