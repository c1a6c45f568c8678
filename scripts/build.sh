#!/usr/bin/env bash
# Configures and builds the project in ./build and installs a ready program folder in ./dist.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE="$BUILD_TYPE" >/dev/null
cmake --build build -j"$(nproc)"
cmake --install build --prefix "$PWD/dist" >/dev/null
