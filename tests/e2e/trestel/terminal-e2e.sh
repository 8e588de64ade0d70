#!/usr/bin/env bash
# Installs from the terminal with the real program and no display at all.
#
#   terminal-e2e.sh emulated TRESTEL HANDHELD_SIM
#       the emulated handheld: into main memory and onto a card (the bytes compared), onto a
#       write-protected card (status 1 and "The media is write protected."), with the handheld
#       unplugged (status 1), and bad usage (status 2).
#   terminal-e2e.sh synce TRESTEL HANDHELD_SIM SYNCE_PREFIX
#       through the SynCE bridge, SynCE's real library and `handheld-sim serve` on a private
#       system bus, serving two handhelds: onto a card of the one TRESTEL_HANDHELD names, not
#       onto one it names that is not there, and onto a write-protected card.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../../tools/shell/xvfb-session.sh
source "$here/../../../tools/shell/xvfb-session.sh"
# shellcheck source=../../../tools/shell/synce-env.sh
source "$here/../../../tools/shell/synce-env.sh"

mode=${1:?mode} trestel=${2:?trestel program} sim=${3:?handheld-sim}
e2e_workspace terminal-e2e
serve_pid=""
stop_all() {
    serve_stop
    private_bus_stop
    e2e_cleanup
}
trap stop_all EXIT

fail() {
    echo "FAIL ($mode): $*" >&2
    [ -s "$work/stderr" ] && sed 's/^/trestel: /' "$work/stderr" >&2
    [ -s "$work/serve.err" ] && sed 's/^/serve: /' "$work/serve.err" >&2
    exit 1
}

root="$work/device" module="$work/sample.bbl"
head -c $((100 * 1024 + 77)) /dev/urandom >"$module"
"$sim" create "$root" --card "Storage Card" --card Locked >/dev/null || fail "cannot create"
"$sim" set "$root" --read-only Locked >/dev/null || fail "cannot protect the card"
run_env=(TRESTEL_DEVICE="$root") unset_env=()

# install FOLDER: runs trestel --install without a display; leaves its status in $status.
install() {
    env -u DISPLAY -u WAYLAND_DISPLAY -u TRESTEL_RAPI_LIBRARY -u TRESTEL_SYNCE_BRIDGE \
        "${unset_env[@]}" XDG_DATA_HOME="$work/data" "${run_env[@]}" \
        "$trestel" --install "$module" --to "$1" 2>"$work/stderr" >"$work/stdout"
    status=$?
}
expect() {
    local want=$1 text=$2 what=$3
    [ "$status" -eq "$want" ] || fail "$what: status $status, not $want"
    tail -n1 "$work/stderr" | grep -qF "$text" || fail "$what: the last line is not '$text'"
    [ ! -s "$work/stdout" ] || fail "$what: something on standard output"
}

if [ "$mode" = synce ]; then
    synce_locate "${4:?SynCE prefix}"
    private_bus_start "$work/bus" || fail "no private bus"
    # Two handhelds at once: the installer takes the one it is told by name.
    other="$work/other"
    "$sim" create "$other" --card "Storage Card" >/dev/null || fail "cannot create the second"
    "$sim" set "$root" --name First >/dev/null && "$sim" set "$other" --name Second >/dev/null ||
        fail "cannot name the handhelds"
    "$sim" serve "$root" "$other" >"$work/serve.out" 2>"$work/serve.err" &
    serve_pid=$!
    for _ in $(seq 100); do
        grep -q "^Serving" "$work/serve.out" && break
        sleep 0.1
    done
    grep -q "^Serving" "$work/serve.out" || fail "serve did not come up"
    unset_env=(-u TRESTEL_DEVICE)
    run_env=(LD_LIBRARY_PATH="$SYNCE_LIBDIR"
        DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SYSTEM_BUS_ADDRESS"
        DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-session-bus")
fi

completed="trestel: Installation of sample.bbl is completed."
install "Storage Card"
expect 0 "$completed" "onto the card"
cmp -s "$module" "$root/Storage Card/Pocket Lorvex/sample.bbl" || fail "not intact on the card"
[ "$mode" != synce ] || grep -q "through SynCE" "$work/stderr" || fail "SynCE was not used"

if [ "$mode" = synce ]; then
    run_env+=(TRESTEL_HANDHELD=Second)
    install "Storage Card"
    expect 0 "$completed" "onto the second handheld's card"
    cmp -s "$module" "$other/Storage Card/Pocket Lorvex/sample.bbl" || fail "not on the second"
    run_env+=(TRESTEL_HANDHELD=Third)
    install "Storage Card"
    expect 1 "Third" "onto a handheld that isn't there"
    unset 'run_env[-1]' 'run_env[-1]'
    run_env+=(TRESTEL_HANDHELD=First)
fi

install Locked
expect 1 "trestel: The media is write protected." "onto the write-protected card"
[ ! -e "$root/Locked/Pocket Lorvex/sample.bbl" ] || fail "a file on the write-protected card"

if [ "$mode" = emulated ]; then
    install main
    expect 0 "$completed" "into main memory"
    cmp -s "$module" "$root/Program Files/Pocket Lorvex/sample.bbl" || fail "not intact in main"

    install Nowhere
    expect 1 "no storage card named 'Nowhere'" "onto a card that isn't there"

    env -u DISPLAY "$trestel" --install "$module" 2>"$work/stderr" >"$work/stdout"
    status=$?
    expect 2 "Try 'trestel --help' for more information." "without --to"

    "$sim" set "$root" --answer refuse >/dev/null || fail "cannot make it refuse"
    install main
    expect 1 "no handheld answered" "with the handheld refusing"
fi
echo "terminal installs ($mode): fine"
