#!/usr/bin/env bash
# Installs what is missing, builds Vantrel and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_BENCH=OFF
cmake --build build -j2 --target vantrel vantrel-align
exec build/src/app/vantrel "$@"
