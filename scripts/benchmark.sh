#!/usr/bin/env bash
# Measures OrvaneService under Wine and prints a table of medians: stop latency, relaunch delay, first-launch
# delay, the service's CPU time over 30 s while the companion runs, and the executable's size.
# Usage: scripts/benchmark.sh [RUNS]      (RUNS >= 5, default 5; uses ORVANE_BUILD or build/windows)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
RUNS=${1:-5}
BUILD=${ORVANE_BUILD:-$ROOT/build/windows}
BENCH=$BUILD/bench
CPU_WINDOW_S=30
TEMPLATE=$BUILD/tests/wine/wine-work/template-prefix

if ((RUNS < 5)); then
    echo "benchmark: at least 5 runs" >&2
    exit 2
fi
if [[ ! -f $BUILD/OrvaneService.exe || ! -f $BUILD/tests/wine/Orvane.exe ]]; then
    (cd "$ROOT" && cmake --preset windows >/dev/null && cmake --build --preset windows >/dev/null)
fi

# shellcheck source=../tests/wine/lib.sh
source "$ROOT/tests/wine/lib.sh"
mkdir -p "$BENCH"
ORVANE_WORK=$BENCH
wine_template "$TEMPLATE"

# Prepares a registered service in a fresh prefix under $BENCH/$1; the caller's shell owns the session.
prepare() {
    ORVANE_WORK=$BENCH/$1
    rm -rf "$ORVANE_WORK"
    mkdir -p "$ORVANE_WORK"
    WINEPREFIX=$ORVANE_WORK/prefix
    wine_copy_prefix "$TEMPLATE" "$WINEPREFIX"
    wine_session_start
    install_tools "$BUILD/tests/wine"
    install_layout "$BUILD/OrvaneService.exe" "$BUILD/tests/wine/Orvane.exe" 'C:\orvane' svc
    REC=$(unix_path 'C:\orvane')/companion.rec
    CFG=$(unix_path 'C:\orvane')/companion.cfg
    wine_run sc create "$ORVANE_SERVICE_NAME" binPath= 'C:\orvane\svc\OrvaneService.exe' >/dev/null
}

# One latency run: running report to first launch, companion exit to next launch, stop to stopped.
latency_run() {
    local i=$1 out running first exit1 second stop stopped
    prepare "latency-$i"
    printf '%s\r\n' exit_after_ms=1000 exit_code=7 >"$CFG"
    out=$(svcctl start "$ORVANE_SERVICE_NAME" 10000)
    running=$(grep -m1 ' state=4 ' <<<"$out")
    wait_for_starts "$REC" 1 10000
    printf '%s\r\n' ctrl_c=exit ctrl_c_code=0 >"$CFG"
    first=$(companion_starts "$REC" | sed -n 1p)
    wait_for_starts "$REC" 2 10000
    exit1=$(records "$REC" exit | sed -n 1p)
    second=$(companion_starts "$REC" | sed -n 2p)
    sleep 0.5
    out=$(WINE_TIMEOUT=60 svcctl stop "$ORVANE_SERVICE_NAME" 30000)
    stop=$(head -n 1 <<<"$out")
    stopped=$(tail -n 1 <<<"$out")
    {
        printf 'first_launch %s\n' $(($(rec_field t "$first") - $(field t "$running")))
        printf 'relaunch %s\n' $(($(rec_field t "$second") - $(rec_field t "$exit1")))
        printf 'stop %s\n' $(($(field t "$stopped") - $(field t "$stop")))
    } >>"$BENCH/samples"
    wine_teardown
    trap - EXIT
    rm -rf "$WINEPREFIX"
}

# One CPU run: the service's Linux process over the window while a quiet companion runs.
cpu_run() {
    local i=$1 pid before after
    prepare "cpu-$i"
    printf '%s\r\n' ctrl_c=exit >"$CFG"
    svcctl start "$ORVANE_SERVICE_NAME" 10000 >/dev/null
    wait_for_starts "$REC" 1 10000
    sleep 1
    pid=$(service_linux_pid)
    before=$(cpu_ns "$pid")
    # The start-up itself costs CPU: a zero here means the wrong process or an unreadable schedstat.
    if ((before == 0)); then
        echo "benchmark: no CPU time readable for the service (Linux pid $pid)" >&2
        exit 1
    fi
    sleep "$CPU_WINDOW_S"
    after=$(cpu_ns "$pid")
    awk -v ns=$((after - before)) 'BEGIN { printf "cpu %.2f\n", ns / 1e6 }' >>"$BENCH/samples"
    WINE_TIMEOUT=60 svcctl stop "$ORVANE_SERVICE_NAME" 30000 >/dev/null || true
    wine_teardown
    trap - EXIT
    rm -rf "$WINEPREFIX"
}

rm -f "$BENCH/samples"
echo "benchmark: $RUNS latency runs one after the other (about 10 s each)"
for ((i = 1; i <= RUNS; ++i)); do
    (latency_run "$i")
done
echo "benchmark: $RUNS CPU runs side by side (${CPU_WINDOW_S} s window)"
pids=()
for ((i = 1; i <= RUNS; ++i)); do
    (cpu_run "$i") &
    pids+=($!)
    sleep 1
done
for pid in "${pids[@]}"; do
    wait "$pid"
done

summary() {
    local key=$1 label=$2 unit=$3
    grep "^$key " "$BENCH/samples" | awk '{ print $2 }' | sort -n | awk -v label="$label" -v unit="$unit" '
        { v[NR] = $1 }
        END {
            median = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
            printf "| %-52s | %8s | %6s | %6s | %2d |\n", label " (" unit ")", median, v[1], v[NR], NR
        }'
}
echo
echo "OrvaneService under $("$ORVANE_WINE" --version 2>/dev/null), $(nproc) cores, $(date -u '+%Y-%m-%d %H:%M UTC')"
printf '| %-52s | %8s | %6s | %6s | %2s |\n' measure median min max n
printf '|%s|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..54})" "----------" "--------" "--------" "----"
summary stop "stop control to stopped, cooperative companion" ms
summary relaunch "companion exit to next launch" ms
summary first_launch "running report to first launch" ms
summary cpu "service CPU time over ${CPU_WINDOW_S} s, companion running" ms
printf '| %-52s | %8s | %6s | %6s | %2s |\n' "executable size (bytes)" "$(stat -c %s "$BUILD/OrvaneService.exe")" - - 1
