#!/usr/bin/env bash
# Runs OrvaneService end to end under Wine and narrates it: build, register, start, the companion's
# output, a relaunch, a graceful stop, removal. Installs what is missing on Debian first.
# Usage: scripts/demo.sh        (about a minute once built; run it again at will)
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build/windows
DEMO=$ROOT/build/demo
# The booted prefix the Wine tests copy; shared so that only the first of them boots it.
TEMPLATE=$BUILD/tests/wine/wine-work/template-prefix
T0=$(date +%s%3N)

say() { printf '[%5.1fs] %s\n' "$(awk -v ms=$(($(date +%s%3N) - T0)) 'BEGIN { print ms / 1000 }')" "$*"; }

"$ROOT/scripts/install-deps.sh" cmake make g++ g++-mingw-w64-x86-64 wine64
say "building the Windows executable (cmake --preset windows)"
mkdir -p "$ROOT/build"
cd "$ROOT"
cmake --preset windows >"$DEMO.configure.log" 2>&1 || {
    cat "$DEMO.configure.log"
    exit 1
}
cmake --build --preset windows >"$DEMO.build.log" 2>&1 || {
    tail -n 40 "$DEMO.build.log"
    exit 1
}

# shellcheck source=../tests/wine/lib.sh
source "$ROOT/tests/wine/lib.sh"
ORVANE_WORK=$DEMO
mkdir -p "$DEMO"
if [[ ! -f $TEMPLATE/.orvane-booted ]]; then
    say "booting a Wine prefix once (about 15 s; later runs reuse it)"
fi
wine_template "$TEMPLATE"
WINEPREFIX=$DEMO/prefix
wine_copy_prefix "$TEMPLATE" "$WINEPREFIX"
wine_session_start
cleanup() {
    wine_teardown
    local left
    left=$(prefix_processes 'wineserver|\.exe' | wc -l)
    if ((left > 0)); then
        say "warning: $left process(es) of the demo's Wine prefix still running"
    else
        say "Wine session ended; nothing of the demo is left running"
    fi
}
trap cleanup EXIT
install_tools "$BUILD/tests/wine"

BASE_WIN='C:\Orvane'
install_layout "$BUILD/OrvaneService.exe" "$BUILD/tests/wine/Orvane.exe" "$BASE_WIN" service
BASE=$(unix_path "$BASE_WIN")
cp "$BUILD/OrvaneSetup.exe" "$BASE/service/"
REC=$BASE/companion.rec
LOG=$(service_log_path)
# The first companion ends by itself after 4 s with exit code 3, so the service relaunches it.
printf '%s\r\n' tick_ms=1000 exit_after_ms=4000 exit_code=3 >"$BASE/companion.cfg"
say "layout: $BASE_WIN\\Orvane.exe (a test double of the companion), $BASE_WIN\\service\\OrvaneService.exe and OrvaneSetup.exe"

say "registering: $BASE_WIN\\service\\OrvaneSetup.exe install"
WINE_TIMEOUT=60 wine_run "$BASE_WIN\\service\\OrvaneSetup.exe" install | sed 's/^/         | /'
say "as the service manager reports it: $BASE_WIN\\service\\OrvaneSetup.exe status"
# Not started yet, so its verdict is "not running" and it exits 1062.
wine_run "$BASE_WIN\\service\\OrvaneSetup.exe" status | sed 's/^/         | /' || true

yes_no() { if [[ $1 == 1 ]]; then echo yes; else echo no; fi; }

state_name() {
    case $1 in
    1) echo STOPPED ;;
    2) echo START_PENDING ;;
    3) echo STOP_PENDING ;;
    4) echo RUNNING ;;
    *) echo "state $1" ;;
    esac
}

# Narration state: how much of each source has been shown.
shown_status=0 shown_log=0 shown_rec=0
narrate() {
    local line state lines
    if [[ -f $REC ]]; then
        mapfile -t lines < <(tail -n +$((shown_rec + 1)) "$REC")
        for line in "${lines[@]}"; do
            shown_rec=$((shown_rec + 1))
            case $line in
            start*role=companion*)
                say "companion started: pid $(rec_field pid "$line"), inside a job: $(yes_no "$(rec_field job "$line")"), current directory $(rec_field cwd "$line")"
                ;;
            exit*) say "companion $(rec_field pid "$line") ended ($(rec_field why "$line")) with exit code $(rec_field code "$line")" ;;
            ctrlc*) say "companion $(rec_field pid "$line") received Ctrl-C from the service's interrupt helper" ;;
            esac
        done
    fi
    if [[ -f $LOG ]]; then
        mapfile -t lines < <(tr -d '\r' <"$LOG" | tail -n +$((shown_log + 1)))
        for line in "${lines[@]}"; do
            shown_log=$((shown_log + 1))
            say "  orvane.log | $line"
        done
    fi
    if [[ -f $DEMO/status.out ]]; then
        mapfile -t lines < <(tr -d '\r' <"$DEMO/status.out" | tail -n +$((shown_status + 1)))
        for line in "${lines[@]}"; do
            shown_status=$((shown_status + 1))
            state=$(field state "$line")
            case $state in
            1) say "service: STOPPED (Win32 exit code $(field win32 "$line"))" ;;
            3) say "service: STOP_PENDING (wait hint $(field waithint "$line") ms)" ;;
            4) say "service: RUNNING (controls accepted $(field controls "$line"): stop, session change, pre-shutdown)" ;;
            *) say "service: $(state_name "$state")" ;;
            esac
        done
    fi
}
# Narrates until the condition holds or the time is up.
narrate_until() {
    local timeout_ms=$1 end
    shift
    end=$(($(date +%s%3N) + timeout_ms))
    while ! "$@"; do
        narrate
        if (($(date +%s%3N) > end)); then
            say "gave up waiting after $((timeout_ms / 1000)) s"
            return 1
        fi
        sleep 0.1
    done
    narrate
}
starts_at_least() { (($(companion_starts "$REC" | wc -l) >= $1)); }
log_has() { [[ -f $LOG ]] && grep -qa "$1" "$LOG"; }
service_in_state() { [[ -f $DEMO/status.out ]] && tr -d '\r' <"$DEMO/status.out" | tail -n 1 | grep -q " state=$1 "; }

say "starting the service; the companion's output goes to C:\\users\\$(id -un)\\Temp\\orvane.log (Wine lacks GetTempPath2W; newer Windows gives C:\\Windows\\SystemTemp)"
START=$(svcctl start "$ORVANE_SERVICE_NAME")
say "start accepted: service $(state_name "$(field state "$START")")"
timeout -k 5 120 "$ORVANE_WINE" "$ORVANE_TOOLS_WIN\\svcctl.exe" watch "$ORVANE_SERVICE_NAME" 90000 \
    >"$DEMO/status.out" 2>>"$DEMO/wine-stderr.log" &
WATCHER=$!
narrate_until 10000 service_in_state 4
say "the service waits 3 s before the first launch"
narrate_until 10000 starts_at_least 1
say "what a monitoring script would read now: $BASE_WIN\\service\\OrvaneSetup.exe status (its last lines)"
wine_run "$BASE_WIN\\service\\OrvaneSetup.exe" status | grep -E '^OrvaneSetup: (companion|console session|verdict):' |
    sed 's/^/         | /' || true
printf '%s\r\n' tick_ms=1000 ctrl_c=delay ctrl_c_delay_ms=1000 ctrl_c_code=0 >"$BASE/companion.cfg"
say "this companion will end by itself after 4 s; the service starts it again 3 s later"
narrate_until 15000 starts_at_least 2
SECOND=$(rec_field pid "$(companion_starts "$REC" | sed -n 2p)")
narrate_until 5000 log_has "orvane-double $SECOND tick 2"
say "stopping the service: it starts \"OrvaneService.exe --terminate <pid>\" to raise Ctrl-C, then waits up to 20 s"
STOP=$(WINE_TIMEOUT=20 svcctl stop "$ORVANE_SERVICE_NAME")
say "stop control accepted: state $(field state "$STOP"), wait hint $(field waithint "$STOP") ms"
narrate_until 30000 service_in_state 1
say "stopped $(($(field t "$(tr -d '\r' <"$DEMO/status.out" | tail -n 1)") - $(field t "$STOP"))) ms after the stop control"

# The watcher holds the service open, as the Services console would, and uninstall could then only mark
# it for deletion; it has shown what it was for.
kill "$WATCHER" 2>/dev/null || true
wait "$WATCHER" 2>/dev/null || true
say "removing: $BASE_WIN\\service\\OrvaneSetup.exe uninstall"
WINE_TIMEOUT=90 wine_run "$BASE_WIN\\service\\OrvaneSetup.exe" uninstall | sed 's/^/         | /'
