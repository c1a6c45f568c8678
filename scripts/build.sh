#!/usr/bin/env bash
# Configures and builds the project in ./build and installs a ready program folder in ./dist.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE="$BUILD_TYPE" >/dev/null
cmake --build build -j"$(nproc)"
cmake --install build --prefix "$PWD/dist" >/dev/null
# Recvora listens on port 105 by default, below 1024: grant it the one capability it
# needs to bind such a port. Without it Recvora ends with "Recvora cannot start: ..."
# in Logs/Recvora.log and exit code 2.
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo -n"
if ! $SUDO setcap cap_net_bind_service=+ep "$PWD/dist/Recvora" 2>/dev/null; then
  echo "Note: could not grant Recvora cap_net_bind_service (needs setcap from libcap2-bin and root)." >&2
  echo "      Run: sudo setcap cap_net_bind_service=+ep \"$PWD/dist/Recvora\", or set a port >= 1024 (Com\\IR_Port)." >&2
fi
