#!/bin/bash
# Runs a Windows console program under Wine with a prefix of its own.
# Usage: run_under_wine.sh WINE WINESERVER PREFIX_DIR PROGRAM.exe
# Uses the X display in DISPLAY; without one it starts a private Xvfb.
set -u

wine=$1 wineserver=$2 prefix=$3 program=$4
export WINEPREFIX=$prefix WINEDEBUG=-all

xvfb_pid=
cleanup() {
    # Wine keeps wineserver (and its services) alive after the program ends;
    # nothing of this run may outlive the test.
    "$wineserver" -k 2>/dev/null
    "$wineserver" -w 2>/dev/null
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
    fi
}
trap cleanup EXIT

display_is_free() {
    [ ! -e "/tmp/.X$1-lock" ] && [ ! -e "/tmp/.X11-unix/X$1" ]
}

start_private_display() {
    command -v Xvfb >/dev/null || { echo "DISPLAY is unset and Xvfb is missing"; exit 1; }
    local n tries
    for n in $(seq 90 150); do
        display_is_free "$n" || continue
        Xvfb ":$n" -noreset -nolisten tcp -screen 0 1024x768x24 >/dev/null 2>&1 &
        xvfb_pid=$!
        for tries in $(seq 100); do
            [ -e "/tmp/.X11-unix/X$n" ] && { export DISPLAY=":$n"; return; }
            kill -0 "$xvfb_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
        xvfb_pid=
    done
    echo "could not start Xvfb"
    exit 1
}

# Creating a prefix takes tens of seconds, so it is done once and reused.
prepare_prefix() {
    [ -e "$WINEPREFIX/.prepared" ] && return
    mkdir -p "$WINEPREFIX"
    timeout 150 "$wine" wineboot -i >"$WINEPREFIX/wineboot.log" 2>&1 || { echo "wineboot failed:"; cat "$WINEPREFIX/wineboot.log"; exit 1; }
    "$wineserver" -w
    touch "$WINEPREFIX/.prepared"
}

[ -n "${DISPLAY:-}" ] || start_private_display
prepare_prefix
# Bounded here, below the test's own timeout, so the cleanup still runs.
timeout 120 "$wine" "$program"
exit $?
