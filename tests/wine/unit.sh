#!/usr/bin/env bash
# A unit-test program built for Windows, run under Wine in its own copy of a prefix booted once; fails on the
# program's real exit code.
# shellcheck source-path=SCRIPTDIR
# Usage: unit.sh prefix TEMPLATE_PREFIX
#        unit.sh run TEMPLATE_PREFIX WORK_DIR PROCTOOL_EXE TEST_EXE [ARGS...]
set -euo pipefail

MODE=$1
TEMPLATE=$(realpath -m "$2")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# shellcheck source=lib.sh
source "$HERE/lib.sh"

if [[ $MODE == prefix ]]; then
    wine_template "$TEMPLATE"
    if [[ ! -f $TEMPLATE/.orvane-booted ]]; then
        echo "FAIL the prefix did not boot, see $TEMPLATE.boot.log"
        exit 1
    fi
    echo "PASSED prefix ($TEMPLATE)"
    exit 0
fi

ORVANE_WORK=$(realpath -m "$3")
PROCTOOL=$(realpath "$4")
TEST_EXE=$(realpath "$5")
shift 5
NAME=${TEST_EXE##*/}

# A run cut short by a CTest time-out (which kills without the trap) may have left its server behind.
if [[ -d $ORVANE_WORK/prefix ]]; then
    WINEPREFIX=$ORVANE_WORK/prefix wine_teardown
fi
rm -rf "$ORVANE_WORK"
mkdir -p "$ORVANE_WORK"
WINEPREFIX=$ORVANE_WORK/prefix
wine_copy_prefix "$TEMPLATE" "$WINEPREFIX"
wine_session_start

# Wine's Z: drive is the Linux root, so the programs run from the build tree as they are.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# Linux sees only the low 8 bits of a Windows exit code (a crash's 0xC0000100 would read as 0), so proctool
# waits for the program and prints its exit code in full, after the program's own output.
output=$ORVANE_WORK/output.txt
WINE_TIMEOUT=${ORVANE_UNIT_TIMEOUT_S:-280} wine_run "$(windows_path "$PROCTOOL")" run \
    "$(windows_path "$TEST_EXE")" "$@" | tee "$output" || true
if grep -q '^retry run ' "$output"; then
    echo "note: Wine refused to start $NAME ($(grep -m1 '^retry run ' "$output")); retried once"
fi
code=$(field exit "$(grep -a -E '^run pid=[0-9]+ exit=[0-9]+ ' "$output" | tail -n 1)")
if [[ $code == 0 ]]; then
    wine_teardown
    rm -rf "$ORVANE_WORK/prefix"
    echo "PASSED $NAME under Wine"
    exit 0
fi
if [[ -z $code ]]; then
    echo "FAIL $NAME: no exit code (it did not start, or did not end in time); Wine's messages:"
else
    echo "FAIL $NAME ended with exit code $code; Wine's messages:"
fi
tail -n 20 "$ORVANE_WORK/wine-stderr.log" 2>/dev/null || true
echo "files kept in $ORVANE_WORK"
exit 1
