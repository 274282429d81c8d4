#!/usr/bin/env bash
# Installs what is missing, builds, and starts Parlora. Arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh run
bash scripts/build.sh
exec ./build/src/app/parlora "$@"
