# Sourced by the scripts: starts a private X server for this shell and stops
# it when the shell exits. Sets DISPLAY.
start_private_xvfb() {
    local fifo
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    # -displayfd picks a free display number and writes it once the server is ready.
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -noreset -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    XVFB_PID=$!
    local number=""
    read -r -t 30 number <"$fifo" || true
    rm -f "$fifo"
    if [ -z "$number" ]; then
        echo "Xvfb did not start" >&2
        return 1
    fi
    export DISPLAY=":$number"
    export QT_QPA_PLATFORM=xcb
    # An X11 session, whatever session the tests were started from.
    export XDG_SESSION_TYPE=x11
    unset WAYLAND_DISPLAY
    XDG_RUNTIME_DIR=$(mktemp -d)
    export XDG_RUNTIME_DIR
    trap 'stop_private_xvfb' EXIT
}

stop_private_xvfb() {
    [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    [ -n "${XDG_RUNTIME_DIR:-}" ] && rm -rf "$XDG_RUNTIME_DIR"
    XVFB_PID=""
}
