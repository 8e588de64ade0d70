#!/usr/bin/env bash
# The main job for a newcomer: installs what is missing, builds, and runs the road of two sample
# modules from the bundle launcher to the emulated handheld (see tools/demo/road.sh).
# With a display you do the installs yourself; without one they are driven inside Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
exec tools/demo/road.sh build/bin "${DEMO_DIR:-build/demo}"
