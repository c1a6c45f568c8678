#!/usr/bin/env bash
# End-to-end receive benchmark: storescu -> Recvora -> Temp -> Ingrado -> Images + database.
# Each run uses a fresh program folder (empty database) and the same generated files;
# the clock runs from the start of storescu until the last file lies in the image store.
# Recvora answers each file only once it and its folder entry are on disk, so "storescu
# itself done" is the durable receive rate. In each run the same files also go to the
# peers (PEERS=0 leaves them out): Orthanc as it comes (run_orthanc.sh; it indexes each
# file before it answers) and the floor, DCMTK's storescp writing the data as read (+B);
# every send is one storescu association with TCP_NODELAY.
#
#   bench/receiver/run_bench.sh [build dir]
#   SMALL_COUNT=2000 SMALL_SIZE=64 LARGE_COUNT=150 RUNS=3 bench/receiver/run_bench.sh build-receiver
#
# Needs the targets Recvora, Ingrado, corva_programfiles and recvora_bench_gen; Orthanc
# (Debian package orthanc) for its figure.
set -euo pipefail

BUILD=$(realpath "${1:-$(dirname "$0")/../../build}")
SMALL_COUNT=${SMALL_COUNT:-500}
SMALL_SIZE=${SMALL_SIZE:-64}
LARGE_COUNT=${LARGE_COUNT:-20}
LARGE_ROWS=${LARGE_ROWS:-4096}
LARGE_COLS=${LARGE_COLS:-3328}
RUNS=${RUNS:-3}
PEERS=${PEERS:-1}
TIMEOUT=${TIMEOUT:-600}
PROGRAM=$BUILD/program
INGRADO=${INGRADO:-$PROGRAM/Ingrado}   # another build's Ingrado, e.g. to measure the one before
GEN=$BUILD/bench/receiver/recvora_bench_gen
WORK=$(mktemp -d "${TMPDIR:-/tmp}/recvora-bench-XXXXXX")
PIDS=()
source "$(dirname "$0")/run_orthanc.sh"

cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    [[ -n $ORTHANC_PID ]] && kill "$ORTHANC_PID" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

for f in "$PROGRAM/Recvora" "$INGRADO" "$PROGRAM/Data/QADef.dat" "$GEN"; do
    [[ -e $f ]] || { echo "missing $f: build Recvora Ingrado corva_programfiles recvora_bench_gen" >&2; exit 1; }
done

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

now() { date +%s.%N; }

# run_once <source folder> <count>: writes "<seconds end to end> <seconds storescu>" to $WORK/result
run_once() {
    local src=$1 count=$2
    local site=$WORK/site port
    rm -rf "$site"
    mkdir -p "$site/program" "$site/config/ZKT"
    cp "$PROGRAM/Recvora" "$INGRADO" "$site/program/"
    cp -r "$PROGRAM/Data" "$site/program/"
    port=$(free_port)
    printf '[Com]\nIR_AET=BENCH\nIR_Port=%s\n' "$port" >"$site/config/ZKT/Lumenpost.conf"
    export XDG_CONFIG_HOME=$site/config
    "$site/program/Ingrado" >/dev/null 2>&1 &
    PIDS+=($!)
    local ingest=$!
    "$site/program/Recvora" >/dev/null 2>&1 &
    PIDS+=($!)
    local receiver=$!
    for _ in $(seq 100); do
        TCP_NODELAY=1 echoscu -aec BENCH 127.0.0.1 "$port" >/dev/null 2>&1 && break
        sleep 0.1
    done

    local t0 t1 t2 filed=0
    # Dirty pages of the previous run or of the generator must not be flushed on our clock.
    sync
    t0=$(now)
    TCP_NODELAY=1 storescu -aec BENCH -aet BENCHSCU +sd 127.0.0.1 "$port" "$src" >"$site/storescu.out" 2>&1 \
        || { echo "storescu failed:" >&2; tail -5 "$site/storescu.out" >&2; exit 1; }
    t1=$(now)
    local deadline=$(( $(date +%s) + TIMEOUT ))
    while (( filed < count )); do
        filed=$(find "$site/program/Images" -name '*.dcm' 2>/dev/null | wc -l)
        (( $(date +%s) < deadline )) || { echo "only $filed of $count filed after ${TIMEOUT}s" >&2; exit 1; }
        (( filed < count )) && sleep 0.01
    done
    t2=$(now)
    local rows
    rows=$(sqlite3 -cmd ".timeout 10000" "$site/program/Data/QAData.dat" "SELECT COUNT(*) FROM tblImages")
    [[ $rows == "$count" ]] || { echo "tblImages holds $rows rows, expected $count" >&2; exit 1; }
    kill "$receiver" "$ingest" 2>/dev/null || true
    wait "$receiver" "$ingest" 2>/dev/null || true
    PIDS=()
    rm -rf "$site"
    python3 -c "print(f'{$t2 - $t0:.3f} {$t1 - $t0:.3f}')" >"$WORK/result"
}

# floor_once <source folder>: writes "<seconds storescu>" to $WORK/result: storescp
# writing each data set as it is read (+B), no database, no fsync.
floor_once() {
    local src=$1 port out=$WORK/floor
    rm -rf "$out"
    mkdir -p "$out"
    port=$(free_port)
    TCP_NODELAY=1 storescp +B -aet FLOOR -od "$out" "$port" >"$WORK/storescp.out" 2>&1 &
    PIDS+=($!)
    local scp=$!
    for _ in $(seq 100); do
        TCP_NODELAY=1 echoscu -aec FLOOR 127.0.0.1 "$port" >/dev/null 2>&1 && break
        sleep 0.1
    done
    sync
    local t0 t1
    t0=$(now)
    TCP_NODELAY=1 storescu -aec FLOOR -aet BENCHSCU +sd 127.0.0.1 "$port" "$src" >"$WORK/storescu.out" 2>&1 \
        || { echo "storescu failed:" >&2; tail -5 "$WORK/storescu.out" >&2; exit 1; }
    t1=$(now)
    kill "$scp" 2>/dev/null || true
    wait "$scp" 2>/dev/null || true
    PIDS=()
    rm -rf "$out"
    python3 -c "print(f'{$t1 - $t0:.3f}')" >"$WORK/result"
}

# bench <label> <source folder> <count>
bench() {
    local label=$1 src=$2 count=$3 bytes results=() orthanc=() floor=() peers=$PEERS
    bytes=$(du -sb "$src" | cut -f1)
    if (( peers )) && ! command -v Orthanc >/dev/null; then
        echo "Orthanc is not installed (apt-get install orthanc): peers left out" >&2
        peers=0
    fi
    for r in $(seq "$RUNS"); do
        run_once "$src" "$count"
        results+=("$(cat "$WORK/result")")
        echo "  $label run $r: ${results[-1]% *} s end to end, ${results[-1]#* } s sending" >&2
        if (( peers )); then
            orthanc_send "$src" "$WORK"
            orthanc+=("$(cat "$WORK/orthanc.result")")
            floor_once "$src"
            floor+=("$(cat "$WORK/result")")
            echo "  $label run $r: Orthanc ${orthanc[-1]} s, storescp +B ${floor[-1]} s" >&2
        fi
    done
    printf '%s\n' "${results[@]}" | python3 -c "
import sys, statistics
rows = [tuple(map(float, l.split())) for l in sys.stdin if l.strip()]
e2e = statistics.median(r[0] for r in rows); send = statistics.median(r[1] for r in rows)
mb = $bytes / 1e6
print(f'$label: $count files, {mb:.0f} MB; median of {len(rows)}: '
      f'{$count / e2e:.0f} images/s, {mb / e2e:.0f} MB/s end to end '
      f'(storescu itself done at {$count / send:.0f} images/s, {mb / send:.0f} MB/s)')
orthanc = [float(x) for x in '${orthanc[*]}'.split()]
floor = [float(x) for x in '${floor[*]}'.split()]
if orthanc:
    o = statistics.median(orthanc); f = statistics.median(floor)
    print(f'$label, same run: Orthanc {$count / o:.0f} images/s, {mb / o:.0f} MB/s; '
          f'storescp +B floor {$count / f:.0f} images/s, {mb / f:.0f} MB/s; '
          f'ours end to end = {o / e2e:.2f}x Orthanc, {f / e2e:.2f}x the floor')"
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
