#!/usr/bin/env bash
# Runs a command inside a private X server (Xvfb, 1024x768x24, no window manager).
#
#   xvfb-session.sh COMMAND [ARGS...]    starts Xvfb, runs COMMAND with DISPLAY set, stops Xvfb
#                                        and exits with COMMAND's status.
#   source xvfb-session.sh; xvfb_start;  ...; xvfb_stop
#                                        the same as shell functions; xvfb_start exports DISPLAY
#                                        and XVFB_PID.
#   xvfb_window_manager                  after xvfb_start: openbox manages the server's windows
#                                        until xvfb_stop.
#
# The server picks a free display itself (-displayfd), so several sessions can run side by side.

xvfb_start() {
    local fifo dir
    dir=$(mktemp -d "${TMPDIR:-/tmp}/xvfb-session.XXXXXX") || return 1
    fifo="$dir/displayfd"
    mkfifo "$fifo" || return 1
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$fifo" \
        >"$dir/xvfb.log" 2>&1 &
    XVFB_PID=$!
    local display=""
    # The server writes its display number once it accepts connections.
    if ! read -r -t 20 display <"$fifo" || [ -z "$display" ]; then
        echo "xvfb-session: Xvfb did not start (see $dir/xvfb.log)" >&2
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
        rm -rf "$dir"
        return 1
    fi
    rm -f "$fifo"
    XVFB_DIR="$dir"
    export DISPLAY=":$display" XVFB_PID XVFB_DIR
}

xvfb_window_manager() {
    openbox --sm-disable >"$XVFB_DIR/openbox.log" 2>&1 &
    XVFB_WM_PID=$!
    local i
    for ((i = 0; i < 100; i++)); do
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id" && return 0
        sleep 0.1
    done
    echo "xvfb-session: openbox did not start" >&2
    return 1
}

xvfb_stop() {
    if [ -n "${XVFB_WM_PID:-}" ]; then
        kill "$XVFB_WM_PID" 2>/dev/null
        wait "$XVFB_WM_PID" 2>/dev/null
        XVFB_WM_PID=""
    fi
    if [ -n "${XVFB_PID:-}" ]; then
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
        XVFB_PID=""
    fi
    if [ -n "${XVFB_DIR:-}" ]; then
        rm -rf "$XVFB_DIR"
        XVFB_DIR=""
    fi
}

# A scratch folder for an end-to-end script: work names a fresh folder, app_pid is empty; at
# exit the program whose pid is in app_pid is ended, the X server stopped and the folder removed.
e2e_workspace() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX") || return 1
    app_pid=""
    trap e2e_cleanup EXIT
}

e2e_cleanup() {
    if [ -n "${app_pid:-}" ] && kill -0 "$app_pid" 2>/dev/null; then
        kill "$app_pid" 2>/dev/null
        wait "$app_pid" 2>/dev/null
    fi
    xvfb_stop
    rm -rf "$work"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -u
    if [ $# -eq 0 ]; then
        echo "usage: $0 COMMAND [ARGS...]" >&2
        exit 2
    fi
    xvfb_start || exit 1
    trap xvfb_stop EXIT
    trap 'exit 130' INT TERM
    "$@"
    exit $?
fi
