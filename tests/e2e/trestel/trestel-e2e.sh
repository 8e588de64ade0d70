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
#   trestel-e2e.sh trust TRESTEL HANDHELD_SIM
#       a copy killed half-way leaves the old module and no temporary after the next Connect;
#       Escape during a copy asks, and Yes stops it, leaves the old module and ends with status 1;
#       a close while Connect waits for a handheld that never answers ends the program at once.
#   trestel-e2e.sh window-manager TRESTEL
#       under openbox: the window's frame ends up centred on the screen.
#   trestel-e2e.sh command-line TRESTEL [PROGRAM]...
#       --help and --version without a display; no display at all: one line and status 1.
#       --help and --version of the installer and each PROGRAM written to a full device: status
#       1 and one line on standard error.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../../tools/shell/xvfb-session.sh
source "$here/../../../tools/shell/xvfb-session.sh"

# shellcheck source=../../../tools/shell/installer-driver.sh
source "$here/../../../tools/shell/installer-driver.sh"

mode=${1:?mode}
trestel=${2:?trestel program}

e2e_workspace trestel-e2e

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
    compgen -G "$root/Storage Card/Pocket Lorvex/.~trestel-*" >/dev/null ||
        fail "the copy is not going to the card"

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

run_trust() {
    local sim=${3:?handheld-sim} root="$work/handheld" module="$work/sample.bbl" w box status
    local folder="$work/handheld/Storage Card/Pocket Lorvex"
    head -c $((512 * 1024)) /dev/urandom >"$module"
    "$sim" create "$root" --card "Storage Card" --speed 64K >/dev/null || fail "handheld-sim create"
    mkdir -p "$folder"
    printf 'the old module' >"$work/old.bbl"
    cp "$work/old.bbl" "$folder/sample.bbl"
    xvfb_start || fail "no X server"

    # Killed half-way: the old module stays, the half-written copy is only a temporary.
    TRESTEL_DEVICE="$root" "$trestel" "$module" &
    app_pid=$!
    w=$(wait_window "$app_pid" is_main_window) || fail "the window did not appear"
    click_connect "$w"
    wait_for 20 status_green "$w" || fail "no Connect"
    choose_folder "$w" 2
    sleep 0.5
    click_copy "$w"
    wait_for 20 progress_shown "$w" || fail "no progress bar during the copy"
    sleep 1
    kill -KILL "$app_pid"
    wait "$app_pid" 2>/dev/null
    app_pid=""
    cmp -s "$work/old.bbl" "$folder/sample.bbl" || fail "the old module did not survive the kill"
    compgen -G "$folder/.~trestel-*" >/dev/null || fail "no temporary after the kill"

    # The next Connect removes it; Escape during a copy asks, Yes stops it.
    TRESTEL_DEVICE="$root" "$trestel" "$module" &
    app_pid=$!
    w=$(wait_window "$app_pid" is_main_window) || fail "the window did not appear again"
    click_connect "$w"
    wait_for 20 status_green "$w" || fail "no second Connect"
    sleep 0.5
    ! compgen -G "$folder/.~trestel-*" >/dev/null || fail "the temporary outlived Connect"
    choose_folder "$w" 2
    sleep 0.5
    click_copy "$w"
    wait_for 20 progress_shown "$w" || fail "no progress bar during the second copy"
    keys_to "$w" Escape
    box=$(wait_window "$app_pid" is_dialog 10) || fail "no question after Escape"
    keys_to "$box" alt+y
    wait_end "$app_pid" 20
    status=$?
    app_pid=""
    [ $status -eq 1 ] || fail "a stopped install ended with status $status, not 1"
    cmp -s "$work/old.bbl" "$folder/sample.bbl" || fail "the old module did not survive the stop"
    ! compgen -G "$folder/.~trestel-*" >/dev/null || fail "a temporary outlived the stop"

    # A close while Connect waits for a handheld that never answers: over at once.
    "$sim" set "$root" --answer no >/dev/null || fail "handheld-sim set --answer no"
    TRESTEL_DEVICE="$root" "$trestel" "$module" &
    app_pid=$!
    w=$(wait_window "$app_pid" is_main_window) || fail "the window did not appear a third time"
    click_connect "$w"
    sleep 1
    local start=$SECONDS
    file_exit "$w"
    wait_end "$app_pid" 5
    status=$?
    app_pid=""
    [ $status -eq 0 ] || fail "File, Exit during Connect: status $status (124: still waiting)"
    echo "trust: a kill kept the old module and its temporary went at the next Connect; Yes to" \
        "the stop question kept it too (status 1); a close during Connect took $((SECONDS - start)) s"
}

# Whether the window's frame (client plus _NET_FRAME_EXTENTS, which must not be empty) is
# centred on the 1024x768 screen, halves truncated; prints it.
frame_centred() {
    local x y w h left right top bottom
    read -r x y w h < <(xwininfo -id "$1" | awk '/Absolute upper-left X/{x=$4}
        /Absolute upper-left Y/{y=$4} /Width:/{w=$2} /Height:/{h=$2} END{print x, y, w, h}')
    IFS=', ' read -r left right top bottom < <(xprop -id "$1" _NET_FRAME_EXTENTS | cut -d= -f2)
    echo "frame at $((x - left)),$((y - top)), extents $left $right $top $bottom"
    [ $((top + bottom)) -gt 0 ] && [ $((x - left)) -eq $(((1024 - w - left - right) / 2)) ] &&
        [ $((y - top)) -eq $(((768 - h - top - bottom) / 2)) ]
}

run_window_manager() {
    xvfb_start || fail "no X server"
    xvfb_window_manager || fail "no window manager"
    printf 'module' >"$work/sample.bbl"
    TRESTEL_DEVICE="$work/no handheld" "$trestel" "$work/sample.bbl" &
    app_pid=$!
    local w
    w=$(wait_window "$app_pid" is_main_window) || fail "the window did not appear"
    wait_for 5 frame_centred "$w" >/dev/null || fail "not centred: $(frame_centred "$w")"
    echo "window manager: $(frame_centred "$w")"
}

run_command_line() {
    local out display
    # Alone, --help and --version answer on standard output without a display.
    out=$(env -u DISPLAY "$trestel" --help 2>"$work/err") && [ ! -s "$work/err" ] &&
        [[ "$out" == "Usage: trestel [OPTION]... [MODULE-FILE]"* ]] || fail "--help: $out"
    out=$(env -u DISPLAY "$trestel" --version 2>"$work/err") && [ ! -s "$work/err" ] &&
        [[ "$out" =~ ^trestel\ \(.+\)\ [0-9.]+$'\n'Copyright\ .+$'\n'License\  ]] ||
        fail "--version: $out"
    # Anything else needs a display; without one: one line on standard error and status 1.
    for display in "" ":999"; do
        for args in "$work/x.bbl" "--version $work/x.bbl"; do
            # shellcheck disable=SC2086 # the words of args are separate arguments
            env -u WAYLAND_DISPLAY DISPLAY="$display" QT_QPA_PLATFORM=xcb "$trestel" $args \
                >/dev/null 2>"$work/err"
            out=$?
            [ "$out" -eq 1 ] && [ "$(wc -l <"$work/err")" -eq 1 ] ||
                fail "display \"$display\", $args: status $out, $(cat "$work/err")"
        done
    done
    # A platform plugin that is missing: Qt's own reason in the one line.
    QT_QPA_PLATFORM=nonesuch "$trestel" "$work/x.bbl" >/dev/null 2>"$work/err-plugin"
    out=$?
    [ "$out" -eq 1 ] && [ "$(wc -l <"$work/err-plugin")" -eq 1 ] &&
        grep -q 'platform plugin "nonesuch"' "$work/err-plugin" ||
        fail "missing plugin: status $out, $(cat "$work/err-plugin")"
    echo "command line: --help and --version answered; without a display: $(cat "$work/err");" \
        "without its plugin: $(cat "$work/err-plugin")"
    # A full device: the answer is lost, and the program says so instead of reporting success.
    local program name
    for program in "$trestel" "$@"; do
        name=$(basename "$program")
        [ "$name" = bundora-image ] && name=bundora
        for args in --help --version; do
            env -u DISPLAY "$program" $args >/dev/full 2>"$work/err"
            out=$?
            [ "$out" -eq 1 ] && [ "$(wc -l <"$work/err")" -eq 1 ] &&
                [ "$(cat "$work/err")" = "$name: write error: No space left on device" ] ||
                fail "$name $args >/dev/full: status $out, $(cat "$work/err")"
        done
    done
    echo "--help and --version to a full device: status 1 and one line from $(($# + 1)) programs"
}

case "$mode" in
    install) run_install "$@" ;;
    trust) run_trust "$@" ;;
    missing) run_missing ;;
    command-line) run_command_line "${@:3}" ;;
    window-manager) run_window_manager ;;
    *) fail "unknown mode $mode" ;;
esac
