#!/usr/bin/env bash
# Builds the Debian package build/parlora_<version>_amd64.deb (installs what
# the build needs first).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh run
bash scripts/build.sh
cmake --build build --target package
