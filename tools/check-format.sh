#!/usr/bin/env bash
# Fails, naming the lines, when a C++ file of the repository differs from what
# the root .clang-format makes of it. Run by CTest as the test "format".
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
