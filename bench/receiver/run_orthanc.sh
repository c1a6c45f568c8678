#!/usr/bin/env bash
# The same sends as run_bench.sh, to Orthanc as it comes (its default synchronous storage
# area and SQLite index): how long storescu takes until Orthanc has answered for every file.
# Compare with run_bench.sh's "storescu itself done" figure (Recvora answers once a file
# and its folder entry are on disk). run_bench.sh sources this file and runs Orthanc in
# the same run as ours (orthanc_send).
#
#   bench/receiver/run_orthanc.sh [build dir]
#   SMALL_COUNT=1000 LARGE_COUNT=20 RUNS=3 bench/receiver/run_orthanc.sh build-receiver
#
# Needs Orthanc (Debian package orthanc) and the target recvora_bench_gen.
set -euo pipefail

ORTHANC_PID=

# orthanc_send <source folder> <work folder>: writes the seconds storescu took until
# Orthanc had answered for every file, on a fresh Orthanc, to <work folder>/orthanc.result.
orthanc_send() {
    local src=$1 work=$2 port http
    command -v Orthanc >/dev/null || { echo "Orthanc is not installed (apt-get install orthanc)" >&2; exit 1; }
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    http=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    rm -rf "$work/db"
    mkdir -p "$work/db"
    # Only what a bench needs changed; everything else (SyncStorageArea among it) as shipped.
    cat >"$work/orthanc.json" <<JSON
{ "Name": "bench", "StorageDirectory": "$work/db", "IndexDirectory": "$work/db",
  "DicomServerEnabled": true, "DicomAet": "ORTHANC", "DicomPort": $port,
  "HttpPort": $http, "RemoteAccessAllowed": false, "Plugins": [] }
JSON
    # Its DICOM server is DCMTK's, which leaves Nagle on unless TCP_NODELAY is set: each
    # answer would wait for the delayed acknowledgement (40 ms).
    TCP_NODELAY=1 Orthanc "$work/orthanc.json" >"$work/orthanc.log" 2>&1 &
    ORTHANC_PID=$!
    for _ in $(seq 100); do
        TCP_NODELAY=1 echoscu -aec ORTHANC 127.0.0.1 "$port" >/dev/null 2>&1 && break
        sleep 0.1
    done
    sync
    local t0 t1
    t0=$(date +%s.%N)
    TCP_NODELAY=1 storescu -aec ORTHANC -aet BENCHSCU +sd 127.0.0.1 "$port" "$src" >"$work/storescu.out" 2>&1 \
        || { echo "storescu failed:" >&2; tail -5 "$work/storescu.out" >&2; exit 1; }
    t1=$(date +%s.%N)
    kill "$ORTHANC_PID"
    wait "$ORTHANC_PID" 2>/dev/null || true
    ORTHANC_PID=
    rm -rf "$work/db"
    python3 -c "print(f'{$t1 - $t0:.3f}')" >"$work/orthanc.result"
}

[[ ${BASH_SOURCE[0]} == "$0" ]] || return 0

BUILD=$(realpath "${1:-$(dirname "$0")/../../build}")
SMALL_COUNT=${SMALL_COUNT:-2000}
SMALL_SIZE=${SMALL_SIZE:-64}
LARGE_COUNT=${LARGE_COUNT:-150}
LARGE_ROWS=${LARGE_ROWS:-4096}
LARGE_COLS=${LARGE_COLS:-3328}
RUNS=${RUNS:-3}
GEN=$BUILD/bench/receiver/recvora_bench_gen
WORK=$(mktemp -d "${TMPDIR:-/tmp}/orthanc-bench-XXXXXX")

cleanup() {
    [[ -n $ORTHANC_PID ]] && kill "$ORTHANC_PID" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

command -v Orthanc >/dev/null || { echo "Orthanc is not installed (apt-get install orthanc)" >&2; exit 1; }
[[ -x $GEN ]] || { echo "missing $GEN: build recvora_bench_gen" >&2; exit 1; }

# bench <label> <source folder> <count>
bench() {
    local label=$1 src=$2 count=$3 bytes results=()
    bytes=$(du -sb "$src" | cut -f1)
    for r in $(seq "$RUNS"); do
        orthanc_send "$src" "$WORK"
        results+=("$(cat "$WORK/orthanc.result")")
        echo "  $label run $r: ${results[-1]} s sending to Orthanc" >&2
    done
    printf '%s\n' "${results[@]}" | python3 -c "
import sys, statistics
send = statistics.median(float(l) for l in sys.stdin if l.strip())
mb = $bytes / 1e6
print(f'$label to Orthanc: $count files, {mb:.0f} MB; median of $RUNS: {$count / send:.0f} images/s, {mb / send:.0f} MB/s')"
}

if (( SMALL_COUNT > 0 )); then
    echo "Generating $SMALL_COUNT small images (${SMALL_SIZE}x${SMALL_SIZE}, 16 bit)..." >&2
    "$GEN" "$WORK/small" "$SMALL_COUNT" "$SMALL_SIZE" "$SMALL_SIZE"
    bench "small" "$WORK/small" "$SMALL_COUNT"
    rm -rf "$WORK/small"
fi

if (( LARGE_COUNT > 0 )); then
    echo "Generating $LARGE_COUNT large images (${LARGE_ROWS}x${LARGE_COLS}, 16 bit)..." >&2
    "$GEN" "$WORK/large" "$LARGE_COUNT" "$LARGE_ROWS" "$LARGE_COLS"
    bench "large" "$WORK/large" "$LARGE_COUNT"
    rm -rf "$WORK/large"
fi
