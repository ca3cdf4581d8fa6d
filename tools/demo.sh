#!/usr/bin/env bash
# Installs what is missing, builds and starts the client.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --parallel "$(nproc)" --target zelmar-mqtt-client
exec build/zelmar-mqtt-client
