#!/usr/bin/env bash
# A module installed through the packed launcher onto a handheld on a slow link, unplugged in the
# middle of the copy: the copy fails with a message, no partial file stays on the handheld, and the
# window ends in the Disconnected state (dark red status line).
#
#   unplug.sh BIN_DIR SCREENSHOT_DIR
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "${1:?bin dir}" && pwd)
shots=${2:?screenshot dir}
source "$here/../../../tools/shell/installer-driver.sh"
source "$here/../../../tools/shell/xvfb-session.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/road-unplug.XXXXXX")
launcher=""
cleanup() {
    [ -n "$launcher" ] && kill "$launcher" 2>/dev/null
    pkill -f "$work/installer/Trestel.exe" 2>/dev/null
    xvfb_stop
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    [ -n "${DISPLAY:-}" ] && import -window root "$shots/unplug-failure.png" 2>/dev/null
    exit 1
}

mkdir -p "$shots" "$work/modules" "$work/installer"
root="$work/handheld"
"$bin/handheld-sim" create "$root" --card "Storage Card" --speed 128K >/dev/null ||
    fail "handheld-sim create"
head -c $((1024 * 1024)) /dev/urandom >"$work/modules/big.bbl"
cp "$bin/bundora" "$work/modules/"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex]\r\n"INSTALLDIR"="%s/"\r\n' \
    "$work/installer" >"$work/registry.reg"

xvfb_start || fail "no X server"
BUNDORA_REGISTRY="$work/registry.reg" TRESTEL_DEVICE="$root" "$work/modules/bundora" &
launcher=$!

w=$(wait_window "" is_main_window 30) || fail "no installer window"
pid=$(xdotool getwindowpid "$w")
sleep 0.5
click_connect "$w"
sleep 1
choose_folder "$w" 2
sleep 0.5
click_copy "$w"
sleep 1.5
screenshot "$shots" unplug-1-copying "$w" || fail "screenshot"
"$bin/handheld-sim" unplug "$root" >/dev/null || fail "handheld-sim unplug"

box=$(wait_window "$pid" is_dialog 30) || fail "no message after the unplug"
sleep 0.3
screenshot "$shots" unplug-2-failure-message "$box" || fail "screenshot"
keys_to "$box" Return
# The link check finds no handheld: it waits out its 10 seconds, then shows Disconnected.
wait_for 30 status_dark_red "$w" || fail "the status line did not turn dark red"
screenshot "$shots" unplug-3-disconnected "$w" || fail "screenshot"
! status_green "$w" || fail "the status line still shows green"

"$bin/handheld-sim" plug "$root" >/dev/null || fail "handheld-sim plug"
[ ! -e "$root/Storage Card/Pocket Lorvex/big.bbl" ] || fail "a partial file stayed on the card"

file_exit "$w"
wait_end "$pid" 20 || fail "the installer did not end"
wait_end "$launcher" 20
status=$?
launcher=""
[ $status -eq 0 ] || fail "the launcher ended with status $status"
echo "unplug: failure shown, no partial file, window Disconnected; screenshots in $shots"
