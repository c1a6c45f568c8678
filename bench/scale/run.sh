#!/bin/bash
# Scale benchmark: an image database of ten years at a large site (generated straight
# into the tables) against a small one, through the station's and the ingest service's
# own code; prints every figure, the ratio, the query plans and the size per 100,000 images.
#   bench/scale/run.sh [build dir] [work dir]        IMAGES=1000000 by default
# The generated databases (about 0.5 GB for a million images) are removed afterwards.
set -euo pipefail
BUILD=${1:-$(cd "$(dirname "$0")/../.." && pwd)/build}
WORK=${2:-/tmp/scale-bench.$$}
IMAGES=${IMAGES:-1000000}
cmake --build "$BUILD" --target scale_bench -j2 >/dev/null
BENCH=$(find "$BUILD" -name scale_bench -type f -perm -u+x | head -1)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK"
export QT_QPA_PLATFORM=offscreen
"$BENCH" --images "$IMAGES" --work "$WORK"
