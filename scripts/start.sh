#!/usr/bin/env bash
# Installs what is missing, builds, and starts Corvalight from the program folder ./dist.
# Without a display it runs on Qt's offscreen platform with a 1280 x 1024 screen.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
cd dist
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  export QT_QPA_PLATFORM="offscreen:configfile=$PWD/../scripts/offscreen-screen.json"
fi
exec ./Corvalight
