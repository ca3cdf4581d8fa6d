#!/usr/bin/env bash
# Fails, naming the lines, when a C++ file of the repository differs from what
# the root .clang-format makes of it: the committed files as they stand in the
# working tree, and new ones not yet added (unless .gitignore leaves them out).
# Fails as well without clang-format, which would otherwise pass the drift
# unseen. Run by CTest as the test "format".
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null; then
    echo "check-format.sh: clang-format not found (tools/install-deps.sh installs it)" >&2
    exit 1
fi
# safe.directory: a checkout owned by another user (a mounted CI workspace)
# is listed all the same. A file deleted but not yet committed is passed over.
git -c safe.directory="$PWD" ls-files -z --cached --others --exclude-standard -- '*.cpp' '*.h' |
    while IFS= read -r -d '' file; do
        if [ -f "$file" ]; then printf '%s\0' "$file"; fi
    done |
    xargs -0 -r clang-format --dry-run --Werror
