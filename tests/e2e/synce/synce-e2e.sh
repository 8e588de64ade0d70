#!/usr/bin/env bash
# A whole install in the real installer window onto a "real" handheld: no emulated handheld is
# asked for, so the installer goes through the SynCE bridge. Driven with xdotool in a private Xvfb.
#
#   synce-e2e.sh TRESTEL FAKE_SYNCE_DIR
#       the bridge to the fake SynCE library, behind which an emulated handheld stands in.
#   synce-e2e.sh --real TRESTEL HANDHELD_SIM SYNCE_PREFIX CASE
#       the bridge to SynCE's real library and `handheld-sim serve` on a private system bus.
#       CASE: intact (OS 5.2) and intact-v1 (OS 4.21): the module arrives whole; read-only: "The
#       media is write protected."; full: "There is not enough space on the disk." and no file
#       left; unplug: unplugged during the copy, the failure message, and after plug and Connect
#       no partial file; locked: a password-locked handheld, a wrong password given first and
#       then the right one in Connect's question; two: the second of two handhelds chosen in
#       Connect's question, the module arriving on it.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../../tools/shell/xvfb-session.sh
source "$here/../../../tools/shell/xvfb-session.sh"
# shellcheck source=../../../tools/shell/installer-driver.sh
source "$here/../../../tools/shell/installer-driver.sh"
# shellcheck source=../../../tools/shell/synce-env.sh
source "$here/../../../tools/shell/synce-env.sh"

real=0
if [ "${1:-}" = --real ]; then
    real=1
    shift
    trestel=${1:?trestel program} sim=${2:?handheld-sim} prefix=${3:?SynCE prefix}
    case=${4:?case}
    synce_locate "$prefix"
else
    trestel=${1:?trestel program}
    fake=${2:?folder of the fake libsynce.so.0}
    case=fake
fi

e2e_workspace synce-e2e
serve_pid=""
trap 'serve_stop; private_bus_stop; e2e_cleanup' EXIT

fail() {
    echo "FAIL ($case): $*" >&2
    [ -s "$work/stderr" ] && sed 's/^/trestel: /' "$work/stderr" >&2
    [ -s "$work/serve.err" ] && sed 's/^/serve: /' "$work/serve.err" >&2
    exit 1
}

# Which message a box shows, told by its look (its text can't be read from outside): the
# icon's colour (red: an error, blue: information) and the width the text gives it.
box_kind() {
    local w=$1 width icon
    width=$(xwininfo -id "$w" | awk '/Width:/{print $2}')
    if import -window "$w" -depth 8 txt:- 2>/dev/null |
        awk -F'[(),]+' 'NR > 1 && $3 >= 150 && $4 < 90 && $5 < 90 { found = 1 } END { exit !found }'; then
        icon=error
    else
        icon=information
    fi
    echo "$icon $width"
}

root="$work/device" module="$work/sample.bbl" os=5.2
target="$root/Storage Card/Pocket Lorvex/sample.bbl"
head -c $((300 * 1024 + 77)) /dev/urandom >"$module"
if [ $real -eq 0 ]; then
    mkdir -p "$root/Program Files" "$root/Storage Card"
    : >"$root/Storage Card/.storage-card"
    run_env=(LD_LIBRARY_PATH="$fake" FAKE_SYNCE_DEVICE="$root")
else
    "$sim" create "$root" --card "Storage Card" >/dev/null || fail "cannot create the handheld"
    case $case in
        intact) ;;
        intact-v1) os=4.21 ;;
        read-only) "$sim" set "$root" --read-only "Storage Card" >/dev/null ;;
        full) "$sim" set "$root" --capacity "Storage Card=100K" >/dev/null ;;
        unplug) "$sim" set "$root" --speed 48K >/dev/null ;;
        locked) "$sim" set "$root" --password 1234 >/dev/null ;;
        two)
            # The second of two handhelds, chosen in the installer's question.
            other="$work/other" target="$work/other/Storage Card/Pocket Lorvex/sample.bbl"
            "$sim" create "$other" --card "Storage Card" >/dev/null &&
                "$sim" set "$root" --name First >/dev/null &&
                "$sim" set "$other" --name Second >/dev/null || fail "cannot make the second"
            ;;
        *) fail "no such case" ;;
    esac
    private_bus_start "$work/bus" || fail "no private bus"
    if [ "$case" = two ]; then
        "$sim" serve "$root" "$other" >"$work/serve.out" 2>"$work/serve.err" &
    else
        "$sim" serve "$root" --os "$os" >"$work/serve.out" 2>"$work/serve.err" &
    fi
    serve_pid=$!
    for _ in $(seq 100); do
        grep -q "^Serving" "$work/serve.out" && break
        sleep 0.1
    done
    grep -q "^Serving" "$work/serve.out" || fail "serve did not come up"
    run_env=(LD_LIBRARY_PATH="$SYNCE_LIBDIR" DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SYSTEM_BUS_ADDRESS")
fi

xvfb_start || fail "no X server"
env -u TRESTEL_DEVICE -u TRESTEL_RAPI_LIBRARY -u TRESTEL_SYNCE_BRIDGE \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-session-bus" XDG_DATA_HOME="$work/data" \
    "${run_env[@]}" "$trestel" "$module" 2>"$work/stderr" &
app_pid=$!
w=$(wait_window "$app_pid" is_main_window) || fail "the window did not appear"
sleep 0.5

click_connect "$w"
case $case in
    locked)
        # A wrong password first: the question comes again.
        question=$(wait_window "$app_pid" is_dialog 20) || fail "no password question"
        keys_to "$question" 0 0 0 0 Return
        sleep 1
        question=$(wait_window "$app_pid" is_dialog 20) || fail "no question after a wrong one"
        keys_to "$question" 1 2 3 4 Return
        ;;
    two)
        question=$(wait_window "$app_pid" is_dialog 20) || fail "no question which handheld"
        keys_to "$question" Down Return
        ;;
esac
wait_for 20 status_green "$w" || fail "the status line did not turn green after Connect"
grep -q "through SynCE" "$work/stderr" || fail "the installer did not choose the SynCE bridge"
choose_folder "$w" 2
sleep 0.5
click_copy "$w"
if [ "$case" = unplug ]; then
    sleep 2
    "$sim" unplug "$root" >/dev/null || fail "handheld-sim unplug failed"
fi
box=$(wait_window "$app_pid" is_dialog 30) || fail "no message at the end of the copy"
kind=$(box_kind "$box")
keys_to "$box" Return
sleep 0.5

# The completion message is an information box; the failure message an error box as wide as its
# long text makes it (500 pixels in the window's fonts); "The media is write protected." an error
# box of half that.
read -r icon width <<<"$kind"
is_failure() { [ "$icon" = error ] && [ "$width" -ge 400 ]; }
case $case in
    fake | intact* | locked | two)
        [ "$icon" = information ] || fail "no completion message (an $icon box)"
        cmp -s "$module" "$target" || fail "the module did not arrive intact on the card"
        ;;
    read-only)
        [ "$icon" = error ] && [ "$width" -ge 200 ] && [ "$width" -lt 290 ] ||
            fail "not the write-protect message ($icon box, $width pixels wide)"
        [ ! -e "$target" ] || fail "a file was made on the write-protected card"
        ;;
    full)
        # Refused before the first write: "There is not enough space on the disk."
        [ "$icon" = error ] && [ "$width" -lt 400 ] ||
            fail "not the no-space message ($icon box, $width pixels wide)"
        [ ! -e "$target" ] || fail "the full card kept a file of $(stat -c %s "$target") bytes"
        ;;
    unplug)
        is_failure || fail "no failure message ($icon box, $width pixels wide)"
        wait_for 20 status_dark_red "$w" || fail "the window did not end Disconnected"
        left="no file"
        [ -e "$target" ] && left="a file of $(stat -c %s "$target") bytes"
        "$sim" plug "$root" >/dev/null || fail "handheld-sim plug failed"
        click_connect "$w"
        wait_for 20 status_green "$w" || fail "the status line did not turn green after plug"
        [ ! -e "$target" ] || fail "a partial file of $(stat -c %s "$target") bytes remained"
        echo "unplugged during the copy: $left on the card, none after plug and Connect"
        ;;
esac

file_exit "$w"
wait_end "$app_pid" 20
status=$?
app_pid=""
# The exit status tells whether the last install of the run succeeded.
expected=0
case $case in read-only | full | unplug) expected=1 ;; esac
[ $status -eq $expected ] || fail "trestel did not end after File, Exit (status $status)"
echo "synce install ($case): fine through the bridge${serve_pid:+, SynCE and serve}"
