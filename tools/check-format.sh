#!/usr/bin/env bash
# Fails, naming the lines, when a C++ file of the repository differs from what
# the root .clang-format makes of it. Fails as well without clang-format, which
# would otherwise pass the drift unseen. Run by CTest as the test "format".
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null; then
    echo "check-format.sh: clang-format not found (tools/install-deps.sh installs it)" >&2
    exit 1
fi
# safe.directory: a checkout owned by another user (a mounted CI workspace)
# is listed all the same.
git -c safe.directory="$PWD" ls-files -z '*.cpp' '*.h' | xargs -0 -r clang-format --dry-run --Werror
