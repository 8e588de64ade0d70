#!/usr/bin/env bash
# Installs what is missing, builds from the source tree into build/ and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-deps.sh
# A warning in the product code fails the build.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWARNINGS_AS_ERRORS=ON
cmake --build build
ctest --test-dir build --output-on-failure -j2 "$@"
