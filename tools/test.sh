#!/usr/bin/env bash
# Installs what is missing, builds from the source tree into build/ and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build
ctest --test-dir build --output-on-failure -j2 "$@"
