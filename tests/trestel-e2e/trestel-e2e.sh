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

run_missing() {
    xvfb_start || fail "no X server"
    "$trestel" "$work/no such module.bbl" &
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
    *) fail "unknown mode $mode" ;;
esac
