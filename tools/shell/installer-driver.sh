#!/usr/bin/env bash
# Shell functions that drive the installer's real window in an X server with xdotool, the way a
# person would: find its windows, click its controls, answer its message boxes, take screenshots.
# Source this file; DISPLAY must name the server. Coordinates are client-area pixels of the window.

readonly kInstallerTitle="Pocket Lorvex Module Installer"

# Visible top-level windows titled like the installer's, of one process or (no pid) of any.
installer_windows() {
    if [ -n "${1:-}" ]; then
        xdotool search --onlyvisible --pid "$1" --name "^${kInstallerTitle}\$" 2>/dev/null
    else
        xdotool search --onlyvisible --name "^${kInstallerTitle}\$" 2>/dev/null
    fi
}

# Whether a window is a dialog (message box) rather than the main window.
is_dialog() {
    xprop -id "$1" _NET_WM_WINDOW_TYPE 2>/dev/null | grep -q _NET_WM_WINDOW_TYPE_DIALOG
}
is_main_window() { ! is_dialog "$1"; }

# Waits until a window for which predicate "$2" holds is shown by process "$1" (or by any
# process when "$1" is empty) and prints its id. Fails after "$3" seconds (default 20), or
# at once when the process has ended.
wait_window() {
    local pid=$1 want=$2 deadline=$((SECONDS + ${3:-20})) w
    while [ $SECONDS -lt $deadline ]; do
        if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then
            return 1
        fi
        for w in $(installer_windows "$pid"); do
            if "$want" "$w"; then
                echo "$w"
                return 0
            fi
        done
        sleep 0.1
    done
    return 1
}

# Waits for a process to end; its exit status, or 124 after "$2" seconds (default 20).
# Works for processes that are not children of this shell too (status 0 then).
wait_end() {
    local pid=$1 deadline=$((SECONDS + ${2:-20}))
    while kill -0 "$pid" 2>/dev/null; do
        [ $SECONDS -ge $deadline ] && return 124
        sleep 0.1
    done
    # A process that is not this shell's child can't be waited for (127): it ended, status 0.
    wait "$pid" 2>/dev/null
    local status=$?
    [ $status -eq 127 ] && status=0
    return $status
}

# Height of the menu bar above the 228-pixel client area of a main window.
menu_height_of() {
    local height
    height=$(xwininfo -id "$1" | awk '/Height:/{print $2}')
    echo $((height - 228))
}

# Clicks at a point of the window's client area (below the menu bar).
click_client() {
    local w=$1 x=$2 y=$3
    xdotool mousemove --window "$w" "$x" $(($(menu_height_of "$w") + y)) click 1
}

# Gives a window the keyboard focus and types keys into it.
keys_to() {
    local w=$1
    shift
    xdotool windowfocus "$w" 2>/dev/null
    sleep 0.2
    xdotool key "$@"
}

# Saves the screen as DIR/NAME.png and the window's area of it as DIR/NAME-window.png.
screenshot() {
    local dir=$1 name=$2 w=$3 geometry
    import -window root "$dir/$name.png" || return 1
    geometry=$(xwininfo -id "$w" | awk '/Absolute upper-left X/{x=$4} /Absolute upper-left Y/{y=$4}
        /Width:/{w=$2} /Height:/{h=$2} END{printf "%dx%d+%d+%d", w, h, x, y}')
    convert "$dir/$name.png" -crop "$geometry" +repage "$dir/$name-window.png"
}

# The number of distinct colours in a client-area region (W H X Y) of the window.
region_colours() {
    local w=$1 width=$2 height=$3 x=$4 y=$5
    import -window "$w" -crop "${width}x${height}+${x}+$(($(menu_height_of "$w") + y))" +repage \
        -format %k info: 2>/dev/null
}

# Whether a client-area region (W H X Y) of the window holds a pixel of a colour (#RRGGBB).
region_has() {
    local w=$1 width=$2 height=$3 x=$4 y=$5 colour=$6 pixels
    pixels=$(import -window "$w" -crop "${width}x${height}+${x}+$(($(menu_height_of "$w") + y))" \
        +repage -depth 8 txt:- 2>/dev/null)
    grep -qi "$colour" <<<"$pixels"
}

# Whether a client-area region (W H X Y) of the window holds a pixel for which an awk condition on
# its channels r, g and b (0 to 255) holds. awk reads to the end, so that a caller with pipefail
# doesn't see import end on a broken pipe.
region_has_tone() {
    local w=$1 width=$2 height=$3 x=$4 y=$5 condition=$6
    import -window "$w" -crop "${width}x${height}+${x}+$(($(menu_height_of "$w") + y))" \
        +repage -depth 8 txt:- 2>/dev/null |
        awk -F'[(),]+' "NR > 1 { r = \$3; g = \$4; b = \$5; if ($condition) found = 1 }
            END { exit !found }"
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

# The status line's colour: green when connected, dark red when disconnected (in the tone the
# window chose for its background, so by hue).
status_green() { region_has_tone "$1" 345 21 8 208 "g >= 80 && r < 60 && b < 60"; }
status_dark_red() { region_has_tone "$1" 345 21 8 208 "r >= 120 && g < 60 && b < 60"; }
# The progress bar is shown: its inside holds the highlight colour of its letters and fill (the
# free-space line in its place when no copy runs has plain text only).
progress_shown() { region_has_tone "$1" 343 23 9 177 "b >= 150 && r < 120 && b > g + 30"; }

# The installer's controls, at their places in the client area.
click_connect() { click_client "$1" 304 48; }
click_copy() { click_client "$1" 304 152; }
# Row N (1-based) of the folder list: select the first row, then move down.
choose_folder() {
    local w=$1 row=$2 i
    click_client "$w" 240 80
    for ((i = 1; i < row; i++)); do
        sleep 0.2
        keys_to "$w" Down
    done
}
# File, Exit through the menu's access keys.
file_exit() {
    keys_to "$1" alt+f
    sleep 0.5
    xdotool key x
}
