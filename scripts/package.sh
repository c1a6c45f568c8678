#!/usr/bin/env bash
# Installs what is missing, builds, and makes the Debian package corvalight_<version>_<arch>.deb
# in ./build/package (from the same CMake project: cpack -G DEB), then checks it with lintian.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE="$BUILD_TYPE" >/dev/null
cmake --build build -j"$(nproc)"
mkdir -p build/package
(cd build && cpack -G DEB -B "$PWD/package")
deb=$(ls -t build/package/corvalight_*.deb | head -n 1)
lintian --tag-display-limit 0 "$deb" || true
echo "Package: $deb"
