#!/usr/bin/env bash
# A whole install in the real installer window onto a "real" handheld: no emulated handheld is
# asked for, so the installer goes through the SynCE bridge to the fake SynCE library, behind
# which an emulated handheld stands in for the device. Driven with xdotool in a private Xvfb.
#
#   synce-e2e.sh TRESTEL FAKE_SYNCE_DIR
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../../tools/shell/xvfb-session.sh
source "$here/../../../tools/shell/xvfb-session.sh"
# shellcheck source=../../../tools/shell/installer-driver.sh
source "$here/../../../tools/shell/installer-driver.sh"

trestel=${1:?trestel program}
fake=${2:?folder of the fake libsynce.so.0}

e2e_workspace synce-e2e

fail() {
    echo "FAIL: $*" >&2
    [ -s "$work/stderr" ] && sed 's/^/trestel: /' "$work/stderr" >&2
    exit 1
}

root="$work/device" module="$work/sample.bbl"
mkdir -p "$root/Program Files" "$root/Storage Card"
: >"$root/Storage Card/.storage-card"
head -c $((300 * 1024 + 77)) /dev/urandom >"$module"

xvfb_start || fail "no X server"
env -u TRESTEL_DEVICE -u TRESTEL_RAPI_LIBRARY -u TRESTEL_SYNCE_BRIDGE \
    LD_LIBRARY_PATH="$fake" FAKE_SYNCE_DEVICE="$root" XDG_DATA_HOME="$work/data" \
    "$trestel" "$module" 2>"$work/stderr" &
app_pid=$!
w=$(wait_window "$app_pid" is_main_window) || fail "the window did not appear"
sleep 0.5

click_connect "$w"
wait_for 20 status_green "$w" || fail "the status line did not turn green after Connect"
grep -q "through SynCE" "$work/stderr" || fail "the installer did not choose the SynCE bridge"
choose_folder "$w" 2
sleep 0.5
click_copy "$w"
box=$(wait_window "$app_pid" is_dialog 30) || fail "no completion message"
keys_to "$box" Return
sleep 0.5
file_exit "$w"
wait_end "$app_pid" 20
status=$?
app_pid=""
[ $status -eq 0 ] || fail "trestel did not end after File, Exit (status $status)"

target="$root/Storage Card/Pocket Lorvex/sample.bbl"
cmp -s "$module" "$target" || fail "the module did not arrive intact on the card"
echo "synce install: $(stat -c %s "$target") bytes on the card through the bridge"
