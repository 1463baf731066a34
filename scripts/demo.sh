#!/usr/bin/env bash
# The main job: builds the tool and runs the demo against a fresh machine root.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j"${JOBS:-2}" --target vaultkeep
root=$(mktemp -d /tmp/vaultkeep-demo-XXXXXX)
trap 'rm -rf "$root"' EXIT
VAULTKEEP_ROOT="$root" build/bin/vaultkeep
