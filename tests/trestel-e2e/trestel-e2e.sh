#!/usr/bin/env bash
# End-to-end runs of the real installer in a private X server against a real emulated handheld,
# driven with xdotool like a user would.
#
#   trestel-e2e.sh install TRESTEL BIN_DIR SCREENSHOT_DIR
#       one module onto the storage card of a handheld with one card; saves screenshots of the
#       Start, Ready and Copying states into SCREENSHOT_DIR and checks the bytes on the handheld.
#   trestel-e2e.sh missing TRESTEL
#       a module path that names no file: only the error box appears, then the program ends.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=xvfb-session.sh
source "$here/xvfb-session.sh"

readonly kTitle="Pocket Lorvex Module Installer"
mode=${1:?mode}
trestel=${2:?trestel program}

work=$(mktemp -d "${TMPDIR:-/tmp}/trestel-e2e.XXXXXX")
app_pid=""
cleanup() {
    if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then
        kill "$app_pid" 2>/dev/null
        wait "$app_pid" 2>/dev/null
    fi
    xvfb_stop
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    if [ -n "${DISPLAY:-}" ]; then
        import -window root "$work/failure.png" 2>/dev/null &&
            cp "$work/failure.png" "${shots:-$work}/failure-$mode.png" 2>/dev/null
    fi
    exit 1
}

# The visible top-level windows of the program, one id per line.
windows_of() {
    xdotool search --onlyvisible --pid "$1" --name "^${kTitle}\$" 2>/dev/null
}

# Whether a window is a dialog (message box) rather than the main window.
is_dialog() {
    xprop -id "$1" _NET_WM_WINDOW_TYPE 2>/dev/null | grep -q _NET_WM_WINDOW_TYPE_DIALOG
}

# Waits until the program shows a window for which "$2" holds; prints its id.
wait_window() {
    local pid=$1 want=$2 deadline=$((SECONDS + ${3:-20})) w
    while [ $SECONDS -lt $deadline ]; do
        kill -0 "$pid" 2>/dev/null || return 1
        for w in $(windows_of "$pid"); do
            if "$want" "$w"; then
                echo "$w"
                return 0
            fi
        done
        sleep 0.1
    done
    return 1
}
main_window() { ! is_dialog "$1"; }
dialog_window() { is_dialog "$1"; }

# Waits for the program to end; its exit status, or 124 after the time-out.
wait_end() {
    local pid=$1 deadline=$((SECONDS + ${2:-20}))
    while kill -0 "$pid" 2>/dev/null; do
        [ $SECONDS -ge $deadline ] && return 124
        sleep 0.1
    done
    wait "$pid"
}

# Clicks at a point of the window's client area (below the menu bar).
click_client() {
    local w=$1 x=$2 y=$3
    xdotool mousemove --window "$w" "$x" $((y + menu_height)) click 1
}

# The number of distinct colours in a region (WxH+X+Y of the client area) of the window.
region_colours() {
    local w=$1 width=$2 height=$3 x=$4 y=$5
    import -window "$w" -crop "${width}x${height}+${x}+$((y + menu_height))" +repage \
        -format %k info: 2>/dev/null
}

# Whether a region of the client area holds a pixel of the given colour (#RRGGBB).
region_has() {
    local w=$1 width=$2 height=$3 x=$4 y=$5 colour=$6 pixels
    pixels=$(import -window "$w" -crop "${width}x${height}+${x}+$((y + menu_height))" +repage \
        -depth 8 txt:- 2>/dev/null)
    grep -qi "$colour" <<<"$pixels"
}

# Waits until a check holds, for at most $1 seconds.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.1
    done
}

status_green() { region_has "$1" 345 21 8 208 "#008000"; }
# The progress bar is shown: its inside holds the fill and back colours (the window is plain).
progress_shown() { [ "$(region_colours "$1" 343 23 9 177)" -ge 2 ] 2>/dev/null; }

# Saves the screen, and the window's area of it, as NAME.png and NAME-window.png.
screenshot() {
    local name=$1 w=$2 geometry
    import -window root "$shots/$name.png" || fail "screenshot $name"
    geometry=$(xwininfo -id "$w" | awk '/Absolute upper-left X/{x=$4} /Absolute upper-left Y/{y=$4}
        /Width:/{w=$2} /Height:/{h=$2} END{printf "%dx%d+%d+%d", w, h, x, y}')
    convert "$shots/$name.png" -crop "$geometry" +repage "$shots/$name-window.png" ||
        fail "crop $name"
}

# Gives a window the keyboard focus and types keys into it (through XTEST, as a user would).
keys_to() {
    local w=$1
    shift
    xdotool windowfocus "$w" 2>/dev/null
    sleep 0.2
    xdotool key "$@"
}

# Presses Return in a window (the message box's OK button has the focus).
press_return() {
    keys_to "$1" Return
}

run_missing() {
    xvfb_start || fail "no X server"
    "$trestel" "$work/no such module.bbl" &
    app_pid=$!
    local box
    box=$(wait_window "$app_pid" dialog_window) || fail "no message box appeared"
    local all
    all=$(windows_of "$app_pid")
    [ "$all" = "$box" ] || fail "windows besides the message box: $all"
    xwininfo -id "$box" -all >/dev/null || fail "box vanished"
    press_return "$box"
    wait_end "$app_pid" 20
    local status=$?
    app_pid=""
    [ $status -eq 0 ] || fail "trestel ended with status $status"
    echo "missing: message box only, then the program ended"
}

run_install() {
    local bin_dir=${3:?bin dir}
    shots=${4:?screenshot dir}
    mkdir -p "$shots"

    # A handheld with one storage card on a slow link (so the copy can be seen), and a module.
    local root="$work/handheld" module="$work/modules/sample.bbl"
    mkdir -p "$work/modules"
    head -c $((768 * 1024 + 123)) /dev/urandom >"$module"
    if [ -x "$bin_dir/handheld-sim" ]; then
        "$bin_dir/handheld-sim" create "$root" --card "Storage Card" --speed 256K >/dev/null ||
            fail "handheld-sim create"
    else
        mkdir -p "$root/Program Files" "$root/Storage Card"
        : >"$root/Storage Card/.storage-card"
        echo "speed=262144" >"$root/.handheld"
    fi

    xvfb_start || fail "no X server"
    TRESTEL_DEVICE="$root" "$trestel" "$module" &
    app_pid=$!
    local w
    w=$(wait_window "$app_pid" main_window) || fail "the window did not appear"
    sleep 0.5
    local height
    height=$(xwininfo -id "$w" | awk '/Height:/{print $2}')
    menu_height=$((height - 228))
    [ "$menu_height" -gt 0 ] || fail "window height $height"
    screenshot start "$w"

    click_client "$w" 304 48  # Connect
    wait_for 20 status_green "$w" || fail "the status line did not turn green after Connect"
    # The card's entry is the list's second row: select the first, then move down a row.
    click_client "$w" 240 80
    sleep 0.3
    keys_to "$w" Down
    sleep 0.5
    screenshot ready "$w"

    click_client "$w" 304 152  # Copy
    wait_for 20 progress_shown "$w" || fail "no progress bar during the copy"
    sleep 0.3
    screenshot copying "$w"
    [ -f "$root/Storage Card/Pocket Lorvex/sample.bbl" ] || fail "the copy is not going to the card"

    local box
    box=$(wait_window "$app_pid" dialog_window 60) || fail "no completion message"
    sleep 0.3
    screenshot completed "$box"
    press_return "$box"
    sleep 1
    screenshot after-copy "$w"

    # File, Exit: open the menu with its access key, choose Exit with its access key.
    keys_to "$w" alt+f
    sleep 0.5
    xdotool key x
    wait_end "$app_pid" 20
    local status=$?
    app_pid=""
    [ $status -eq 0 ] || fail "trestel did not end after File, Exit (status $status)"

    local target="$root/Storage Card/Pocket Lorvex/sample.bbl"
    [ -f "$target" ] || fail "no module on the handheld's card"
    cmp -s "$module" "$target" || fail "the module's bytes differ on the handheld"
    echo "install: $(stat -c %s "$target") bytes on the card; screenshots in $shots"
}

case "$mode" in
    install) run_install "$@" ;;
    missing) run_missing ;;
    *) fail "unknown mode $mode" ;;
esac
