#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the hardening stage
# (sanitizer build of the tests, bounded fuzzing) and then the regular build's
# tests, whose summary ends the output. Exits non-zero if anything fails.
#
#   ZELMAR_SKIP_HARDENING=1  only the regular build and its tests
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

if [ "${ZELMAR_SKIP_HARDENING:-0}" != 1 ]; then
    tools/hardening.sh
fi

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --parallel "$(nproc)"
ctest --test-dir "$build" --output-on-failure --parallel "$(nproc)"
