#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Exits non-zero if
# anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --parallel "$(nproc)"
ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)"
