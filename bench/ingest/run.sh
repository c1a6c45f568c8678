#!/bin/bash
# Ingest benchmark: images registered per second by the real Ingrado.
#   bench/ingest/run.sh [build dir] [work dir]
# Builds ingest_bench and Ingrado, then measures 2,000 small images, 200
# mammography-sized images (4096 x 3328, 16 bit, 27 MB each) and an idle tick with
# 100,000 images in the database, and (as root) a full database disk. Generated files
# are removed afterwards.
set -euo pipefail
BUILD=${1:-$(cd "$(dirname "$0")/../.." && pwd)/build}
WORK=${2:-/tmp/ingest-bench.$$}
RUNS=${RUNS:-5}
SMALL=${SMALL:-2000}
MAMMO=${MAMMO:-200}
cmake --build "$BUILD" --target ingest_bench Ingrado corva_programfiles -j2 >/dev/null
BENCH=$(find "$BUILD" -name ingest_bench -type f -perm -u+x | head -1)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK"
export QT_QPA_PLATFORM=offscreen
"$BENCH" throughput --kind small --files "$SMALL" --runs "$RUNS" --work "$WORK"
"$BENCH" throughput --kind mammo --files "$MAMMO" --runs "$RUNS" --work "$WORK"
"$BENCH" idle --images 100000 --work "$WORK"
# A full database disk (needs the right to mount a tmpfs): nothing may be set aside.
if [ "$(id -u)" = 0 ]; then "$BENCH" outage --files 300 --seconds 40 --work "$WORK"; fi
