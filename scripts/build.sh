#!/usr/bin/env bash
# Configures and builds Parlora into build/ (Ninja). Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -f build/build.ninja ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
fi
cmake --build build -j "$(nproc)"
