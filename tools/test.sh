#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the hardening stage
# (sanitizer build of the tests, bounded fuzzing), the regular build's tests,
# then the packaging stage (the .deb built, validated and run unpacked).
# Exits non-zero if anything fails.
#
#   ZELMAR_SKIP_HARDENING=1  no hardening stage
#   ZELMAR_SKIP_PACKAGING=1  no packaging stage
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

# ---- packaging stage (tools/check-package.sh) ----
if [ "${ZELMAR_SKIP_PACKAGING:-0}" != 1 ]; then
    tools/check-package.sh
fi
# ---- end of packaging stage ----
