#!/usr/bin/env bash
# End-to-end runs of the real installer in a private X server against a real emulated handheld,
# driven with xdotool like a user would.
#
#   trestel-e2e.sh install TRESTEL BIN_DIR SCREENSHOT_DIR
#       one module onto the storage card of a handheld with one card; saves screenshots of the
#       Start, Ready and Copying states into SCREENSHOT_DIR and checks the bytes on the handheld.
#   trestel-e2e.sh missing TRESTEL
#       a module path that names no file: only the error box appears, then the program ends
#       with status 1.
#   trestel-e2e.sh window-manager TRESTEL
#       under openbox: the window's frame ends up centred on the screen.
#   trestel-e2e.sh looks TRESTEL BIN_DIR SCREENSHOT_DIR
#       under openbox, screenshots of the window ready and copying, with the light palette, a dark
#       one (qt6ct's "darker") and at scale factor 2, driven by keyboard; into SCREENSHOT_DIR.
#   trestel-e2e.sh command-line TRESTEL
#       --help and --version without a display; no display at all: one line and status 1.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=xvfb-session.sh
source "$here/xvfb-session.sh"

# shellcheck source=../../tools/demo/installer-driver.sh
source "$here/../../tools/demo/installer-driver.sh"

mode=${1:?mode}
trestel=${2:?trestel program}

work=$(mktemp -d "${TMPDIR:-/tmp}/trestel-e2e.XXXXXX")
app_pid=""
wm_pid=""
cleanup() {
    if [ -n "$wm_pid" ]; then
        kill "$wm_pid" 2>/dev/null
        wait "$wm_pid" 2>/dev/null
    fi
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

run_missing() {
    xvfb_start || fail "no X server"
    TRESTEL_DEVICE="$work/handheld" "$trestel" "$work/no such module.bbl" &
    app_pid=$!
    local box
    box=$(wait_window "$app_pid" is_dialog) || fail "no message box appeared"
    local all
    all=$(installer_windows "$app_pid")
    [ "$all" = "$box" ] || fail "windows besides the message box: $all"
    xwininfo -id "$box" -all >/dev/null || fail "box vanished"
    keys_to "$box" Return
    wait_end "$app_pid" 20
    local status=$?
    app_pid=""
    [ $status -eq 1 ] || fail "trestel ended with status $status, not 1"
    echo "missing: message box only, then the program ended with status 1"
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
    # The toolkit's own options are not part of the module path.
    TRESTEL_DEVICE="$root" "$trestel" -style Fusion "$module" &
    app_pid=$!
    local w
    w=$(wait_window "$app_pid" is_main_window) || fail "the window did not appear"
    sleep 0.5
    [ "$(menu_height_of "$w")" -gt 0 ] || fail "no menu bar above the client area"
    screenshot "$shots" start "$w" || fail "screenshot start"

    click_connect "$w"
    wait_for 20 status_green "$w" || fail "the status line did not turn green after Connect"
    # The card's entry is the list's second row: select the first, then move down a row.
    choose_folder "$w" 2
    sleep 0.5
    screenshot "$shots" ready "$w" || fail "screenshot ready"

    click_copy "$w"
    wait_for 20 progress_shown "$w" || fail "no progress bar during the copy"
    sleep 0.3
    screenshot "$shots" copying "$w" || fail "screenshot copying"
    [ -f "$root/Storage Card/Pocket Lorvex/sample.bbl" ] || fail "the copy is not going to the card"

    local box
    box=$(wait_window "$app_pid" is_dialog 60) || fail "no completion message"
    sleep 0.3
    screenshot "$shots" completed "$box" || fail "screenshot completed"
    keys_to "$box" Return
    sleep 1
    screenshot "$shots" after-copy "$w" || fail "screenshot after-copy"

    # File, Exit: open the menu with its access key, choose Exit with its access key.
    file_exit "$w"
    wait_end "$app_pid" 20
    local status=$?
    app_pid=""
    [ $status -eq 0 ] || fail "trestel did not end after File, Exit (status $status)"

    local target="$root/Storage Card/Pocket Lorvex/sample.bbl"
    [ -f "$target" ] || fail "no module on the handheld's card"
    cmp -s "$module" "$target" || fail "the module's bytes differ on the handheld"
    echo "install: $(stat -c %s "$target") bytes on the card; screenshots in $shots"
}

# Starts openbox on the private server and waits until it manages windows.
start_window_manager() {
    command -v openbox >/dev/null || fail "openbox is not installed (tools/setup-deps.sh)"
    openbox --sm-disable >"$work/openbox.log" 2>&1 &
    wm_pid=$!
    wait_for 10 xprop -root _NET_SUPPORTING_WM_CHECK >/dev/null 2>&1 ||
        fail "openbox did not start"
}

# Whether the window's frame (client plus _NET_FRAME_EXTENTS) is centred on the screen, halves
# truncated; prints what it found.
frame_centred() {
    local w=$1 x y width height left right top bottom screen_w screen_h
    read -r x y width height < <(xwininfo -id "$w" | awk '/Absolute upper-left X/{x=$4}
        /Absolute upper-left Y/{y=$4} /Width:/{w=$2} /Height:/{h=$2} END{print x, y, w, h}')
    IFS=', ' read -r left right top bottom < <(xprop -id "$w" _NET_FRAME_EXTENTS | cut -d= -f2)
    read -r screen_w screen_h < <(xwininfo -root | awk '/Width:/{w=$2} /Height:/{h=$2}
        END{print w, h}')
    local outer_w=$((width + left + right)) outer_h=$((height + top + bottom))
    local frame_x=$((x - left)) frame_y=$((y - top))
    echo "frame ${outer_w}x${outer_h} at $frame_x,$frame_y on ${screen_w}x${screen_h}"
    [ "$frame_x" -eq $(((screen_w - outer_w) / 2)) ] && [ "$frame_y" -eq $(((screen_h - outer_h) / 2)) ]
}

run_window_manager() {
    xvfb_start || fail "no X server"
    start_window_manager
    printf 'module' >"$work/sample.bbl"
    TRESTEL_DEVICE="$work/no handheld" "$trestel" "$work/sample.bbl" &
    app_pid=$!
    local w found
    w=$(wait_window "$app_pid" is_main_window) || fail "the window did not appear"
    wait_for 5 frame_centred "$w" >/dev/null || fail "not centred: $(frame_centred "$w")"
    found=$(frame_centred "$w")
    [ -n "$(xprop -id "$w" _NET_FRAME_EXTENTS | grep -v '0, 0, 0, 0')" ] ||
        fail "openbox added no frame"
    echo "window manager: $found"
}

run_looks() {
    local bin_dir=${3:?bin dir}
    shots=${4:?screenshot dir}
    mkdir -p "$shots"
    [ -x "$bin_dir/handheld-sim" ] || fail "no handheld-sim in $bin_dir"
    xvfb_start || fail "no X server"
    start_window_manager

    # qt6ct's "darker" colour scheme, as a desktop with a dark theme hands it to Qt programs.
    mkdir -p "$work/config/qt6ct"
    printf '[Appearance]\ncolor_scheme_path=/usr/share/qt6ct/colors/darker.conf\n%s\n%s\n' \
        'custom_palette=true' 'style=Fusion' >"$work/config/qt6ct/qt6ct.conf"

    local module="$work/modules/Wörterbuch Deutsch-Englisch.dct" variant
    mkdir -p "$work/modules"
    head -c $((512 * 1024)) /dev/urandom >"$module"
    for variant in light dark scale2; do
        local root="$work/handheld-$variant"
        "$bin_dir/handheld-sim" create "$root" --card "Storage Card" --speed 128K >/dev/null ||
            fail "handheld-sim create"
        local -a env=(TRESTEL_DEVICE="$root")
        case "$variant" in
            dark) env+=(QT_QPA_PLATFORMTHEME=qt6ct XDG_CONFIG_HOME="$work/config") ;;
            scale2) env+=(QT_SCALE_FACTOR=2) ;;
        esac
        env "${env[@]}" "$trestel" "$module" &
        app_pid=$!
        local w
        w=$(wait_window "$app_pid" is_main_window) || fail "$variant: the window did not appear"
        sleep 1
        screenshot "$shots" "$variant-start" "$w" || fail "$variant: screenshot"
        # Connect has the focus: press it, then the first folder, then Copy.
        keys_to "$w" space
        sleep 1
        keys_to "$w" Tab Down
        sleep 0.5
        screenshot "$shots" "$variant-ready" "$w" || fail "$variant: screenshot"
        keys_to "$w" Tab space
        sleep 1.5
        screenshot "$shots" "$variant-copying" "$w" || fail "$variant: screenshot"
        local box
        box=$(wait_window "$app_pid" is_dialog 60) || fail "$variant: no completion message"
        sleep 0.3
        screenshot "$shots" "$variant-completed" "$box" || fail "$variant: screenshot"
        keys_to "$box" Return
        sleep 0.5
        kill "$app_pid" 2>/dev/null
        wait "$app_pid" 2>/dev/null
        app_pid=""
        [ -f "$root/Program Files/Pocket Lorvex/$(basename "$module")" ] ||
            fail "$variant: the keyboard did not install into the first folder"
    done
    echo "looks: screenshots in $shots"
}

run_command_line() {
    local out err status
    for option in --help --version; do
        out=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$trestel" "$option" 2>"$work/err")
        status=$?
        [ $status -eq 0 ] || fail "$option: status $status"
        [ -s "$work/err" ] && fail "$option wrote to standard error: $(cat "$work/err")"
        case "$option" in
            --help) [[ "$out" == "Usage: trestel [OPTION]... [MODULE-FILE]"* ]] ||
                fail "--help does not start with its usage line: $out" ;;
            --version) [[ "$out" =~ ^trestel\ \(.+\)\ [0-9.]+$ ]] ||
                fail "--version: $out" ;;
        esac
    done
    for display in "" ":999"; do
        env -u WAYLAND_DISPLAY DISPLAY="$display" QT_QPA_PLATFORM=xcb \
            "$trestel" "$work/x.bbl" >/dev/null 2>"$work/err"
        status=$?
        err=$(cat "$work/err")
        [ $status -eq 1 ] || fail "no display \"$display\": status $status ($err)"
        [ "$(wc -l <"$work/err")" -eq 1 ] || fail "no display \"$display\": not one line: $err"
    done
    echo "command line: --help, --version and no display answered; last: $err"
}

case "$mode" in
    install) run_install "$@" ;;
    missing) run_missing ;;
    command-line) run_command_line ;;
    window-manager) run_window_manager ;;
    looks) run_looks "$@" ;;
    *) fail "unknown mode $mode" ;;
esac
