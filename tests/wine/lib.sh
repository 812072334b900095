# Shared helpers for driving OrvaneService under Wine: prefixes, bounded Wine calls, the test tools, records.
# Sourced by the end-to-end scenarios, scripts/demo.sh and scripts/benchmark.sh.
# shellcheck shell=bash

ORVANE_WINE=${ORVANE_WINE:-/usr/lib/wine/wine64}
ORVANE_WINESERVER=${ORVANE_WINESERVER:-/usr/lib/wine/wineserver64}
ORVANE_SERVICE_NAME=OrvaneService
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
unset DISPLAY WAYLAND_DISPLAY

# Where the scenarios put things inside a prefix (Windows and Unix forms).
ORVANE_TOOLS_WIN='C:\orvtools'

now_ms() { date +%s%3N; }

# Boots a prefix once into DIR; later calls find it ready. Serialised with a lock beside DIR.
wine_template() {
    local dir=$1
    mkdir -p "$(dirname "$dir")"
    (
        flock -w 300 9
        if [[ -f $dir/.orvane-booted ]]; then
            exit 0
        fi
        rm -rf "$dir"
        if ! WINEPREFIX=$dir timeout -k 10 180 "$ORVANE_WINE" wineboot -i >"$dir.boot.log" 2>&1; then
            WINEPREFIX=$dir timeout -k 5 30 "$ORVANE_WINESERVER" -k >/dev/null 2>&1 || true
            echo "wine_template: wineboot failed, see $dir.boot.log" >&2
            exit 1
        fi
        # Let the services started by the boot settle and the server leave before anyone copies the prefix.
        WINEPREFIX=$dir timeout -k 10 120 "$ORVANE_WINESERVER" -w
        touch "$dir/.orvane-booted"
    ) 9>"$dir.lock"
}

# Copies a booted prefix: drive_c/windows is hard-linked (Wine does not rewrite it), the registry files
# and the rest are real copies because wineserver rewrites system.reg in place.
wine_copy_prefix() {
    local template=$1 dest=$2 entry name
    rm -rf "$dest"
    mkdir -p "$dest/drive_c"
    for entry in "$template"/* "$template"/.update-timestamp; do
        name=${entry##*/}
        case $name in
        drive_c | wineserver | .orvane-booted) ;;
        *) cp -a "$entry" "$dest/" ;;
        esac
    done
    for entry in "$template"/drive_c/*; do
        name=${entry##*/}
        if [[ $name == windows ]]; then
            cp -al "$entry" "$dest/drive_c/"
        else
            cp -a "$entry" "$dest/drive_c/"
        fi
    done
}

# Starts the prefix's persistent server and its first process; sets the teardown trap.
# Needs WINEPREFIX and ORVANE_WORK (a directory for logs).
wine_session_start() {
    export WINEPREFIX
    trap wine_teardown EXIT
    timeout -k 5 30 "$ORVANE_WINESERVER" -p >>"$ORVANE_WORK/wineserver.log" 2>&1
    # services.exe inherits the first command's output and keeps it until the server ends: a file, not a pipe.
    timeout -k 5 60 "$ORVANE_WINE" sc query "$ORVANE_SERVICE_NAME" >"$ORVANE_WORK/wine-session.log" 2>&1 || true
}

# Ends every process of this prefix only, then waits for its server to go.
wine_teardown() {
    if [[ -n ${WINEPREFIX:-} ]]; then
        timeout -k 5 20 "$ORVANE_WINESERVER" -k >/dev/null 2>&1 || true
        timeout -k 5 30 "$ORVANE_WINESERVER" -w >/dev/null 2>&1 || true
    fi
}

# Runs a Windows program with a time bound (WINE_TIMEOUT seconds, default 30). Wine processes keep the
# launcher's Unix stderr, so it always goes to a file; stdout comes back without carriage returns.
wine_run() {
    timeout -k 5 "${WINE_TIMEOUT:-30}" "$ORVANE_WINE" "$@" 2>>"$ORVANE_WORK/wine-stderr.log" | tr -d '\r'
    return "${PIPESTATUS[0]}"
}

# Copies the test tools into the prefix.
install_tools() {
    local tools_dir=$1 dest=$WINEPREFIX/drive_c/orvtools
    mkdir -p "$dest"
    cp "$tools_dir/svcctl.exe" "$tools_dir/proctool.exe" "$dest/"
}

svcctl() { wine_run "$ORVANE_TOOLS_WIN\\svcctl.exe" "$@"; }
proctool() { wine_run "$ORVANE_TOOLS_WIN\\proctool.exe" "$@"; }

# Starts a program that outlives the call; its output goes to a file (a pipe would stay open with it).
proctool_spawn() {
    local out=$ORVANE_WORK/spawn.$$.$RANDOM
    timeout -k 5 30 "$ORVANE_WINE" "$ORVANE_TOOLS_WIN\\proctool.exe" spawn "$@" >"$out" 2>>"$ORVANE_WORK/wine-stderr.log" || true
    tr -d '\r' <"$out"
    rm -f "$out"
}

# Converts C:\a\b to $WINEPREFIX/drive_c/a/b.
unix_path() {
    local win=$1
    win=${win#[Cc]:}
    printf '%s/drive_c%s\n' "$WINEPREFIX" "${win//\\//}"
}

# The value of KEY in a line of space-separated key=value fields (the last match wins).
field() {
    local key=$1 line=$2
    sed -n "s/.*[[:space:]]$key=\([^[:space:]]*\).*/\1/p" <<<" $line" | tail -n 1
}

# The value of KEY in a tab-separated record line (values may hold spaces).
rec_field() {
    local key=$1 line=$2
    awk -F'\t' -v key="$key=" '{ for (i = 2; i <= NF; ++i) if (index($i, key) == 1) print substr($i, length(key) + 1) }' <<<"$line"
}

# Record lines of one event (and optionally only the companion's own starts) in a record file.
records() {
    local file=$1 event=$2
    [[ -f $file ]] || return 0
    grep -a "^$event"$'\t' "$file" || true
}
companion_starts() { records "$1" start | grep -a $'\trole=companion\t' || true; }

# Waits until the record file holds at least COUNT companion starts; fails after TIMEOUT_MS.
wait_for_starts() {
    local file=$1 count=$2 timeout_ms=$3 end
    end=$(($(now_ms) + timeout_ms))
    while (($(companion_starts "$file" | wc -l) < count)); do
        if (($(now_ms) > end)); then
            return 1
        fi
        sleep 0.05
    done
}

# Waits until the record file holds at least COUNT lines of EVENT; fails after TIMEOUT_MS.
wait_for_event() {
    local file=$1 event=$2 count=$3 timeout_ms=$4 end
    end=$(($(now_ms) + timeout_ms))
    while (($(records "$file" "$event" | wc -l) < count)); do
        if (($(now_ms) > end)); then
            return 1
        fi
        sleep 0.05
    done
}

# Lays out C:\<base>\<svcdir>\OrvaneService.exe with the companion double one folder up.
# Usage: install_layout SERVICE_EXE COMPANION_EXE 'C:\base' 'svcdir' [with-companion|without-companion]
install_layout() {
    local service_exe=$1 companion_exe=$2 base_win=$3 svc_dir=$4 companion=${5:-with-companion} base
    base=$(unix_path "$base_win")
    mkdir -p "$base/$svc_dir"
    cp "$service_exe" "$base/$svc_dir/OrvaneService.exe"
    if [[ $companion == with-companion ]]; then
        cp "$companion_exe" "$base/Orvane.exe"
    fi
}

# The service account's temp directory and log as the service sees them under Wine.
service_log_path() {
    printf '%s/drive_c/users/%s/Temp/orvane.log\n' "$WINEPREFIX" "$(id -un)"
}

# Linux pids of this prefix's processes whose command line matches the extended regex (every Wine process
# is a Linux process; its environment names its prefix). Reads /proc directly: no procps needed.
prefix_processes() {
    local pattern=$1 dir exe
    for dir in /proc/[0-9]*; do
        exe=$(readlink "$dir/exe" 2>/dev/null) || continue
        [[ ${exe##*/} == wine* ]] || continue
        tr '\0' ' ' <"$dir/cmdline" 2>/dev/null | grep -Eq -- "$pattern" || continue
        tr '\0' '\n' <"$dir/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" || continue
        printf '%s\n' "${dir#/proc/}"
    done
}

# The Linux pid of this prefix's service process.
service_linux_pid() {
    prefix_processes 'OrvaneService\.exe' | head -n 1 | grep .
}

# CPU time of a Linux process in nanoseconds: the sum over its threads of the first schedstat field.
cpu_ns() {
    local pid=$1 total=0 f value
    for f in /proc/"$pid"/task/*/schedstat; do
        read -r value _ <"$f" 2>/dev/null || continue
        total=$((total + value))
    done
    printf '%s\n' "$total"
}
