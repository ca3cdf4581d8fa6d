#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first the regular
# build's tests, whose results come first, then the packaging stage (the .deb
# built, validated and run unpacked) and the hardening stage (sanitizer build
# of the tests, bounded fuzzing). Ends with a summary that names what failed;
# exits non-zero if anything did.
#
#   ZELMAR_SKIP_HARDENING=1  no hardening stage
#   ZELMAR_SKIP_PACKAGING=1  no packaging stage
set -uo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh || exit 1

failed=()
build=${BUILD_DIR:-build}
if cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELMAR_BUILD_TESTS=ON -DZELMAR_WERROR=ON && cmake --build "$build" --parallel "$(nproc)"; then
    if ! ctest --test-dir "$build" --output-on-failure --no-tests=error --parallel "$(nproc)"; then
        failed+=("tests: $(cut -d: -f2 "$build/Testing/Temporary/LastTestsFailed.log" | paste -sd' ')")
    fi
else
    failed+=("the regular build")
fi

# ---- packaging stage (tools/check-package.sh) ----
if [ "${ZELMAR_SKIP_PACKAGING:-0}" != 1 ]; then
    tools/check-package.sh || failed+=("the packaging stage (tools/check-package.sh)")
fi
# ---- end of packaging stage ----

skipped=
if [ "${ZELMAR_SKIP_HARDENING:-0}" = 1 ]; then
    skipped=" (hardening skipped)"
else
    tools/hardening.sh || failed+=("the hardening stage (tools/hardening.sh; its log above says which part)")
fi

echo
if [ ${#failed[@]} -ne 0 ]; then
    printf 'test.sh: FAILED: %s\n' "${failed[@]}"
    exit 1
fi
echo "test.sh: everything passed$skipped"
