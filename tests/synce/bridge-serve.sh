#!/usr/bin/env bash
# The SynCE bridge through SynCE's real library against handheld-sim serve, on a private bus,
# without a window (bridge-probe): the handhelds' list from SynCE's device enumeration, a name
# chosen or refused, moves and free space in the protocol version of the OS; with a serve that
# carries several handhelds and a password, the choice between them and the unlock; at OS 5.2 a
# handheld answering each write after about 9 s fails the copy within the operation's bound.
#
#   bridge-serve.sh HANDHELD_SIM SYNCE_PREFIX BRIDGE_PROBE BRIDGE OS_VERSION
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../tools/shell/synce-env.sh
source "$here/../../tools/shell/synce-env.sh"

sim=${1:?handheld-sim} prefix=${2:?SynCE prefix} probe=${3:?bridge-probe} bridge=${4:?bridge}
os=${5:?OS version}
synce_locate "$prefix"

synce_scratch bridge-serve
fail() {
    echo "FAIL (OS $os): $*" >&2
    [ -s "$work/serve.err" ] && sed 's/^/serve: /' "$work/serve.err" >&2
    exit 1
}
serve() {
    "$sim" serve "$@" >"$work/serve.out" 2>"$work/serve.err" &
    serve_pid=$!
    for _ in $(seq 100); do
        grep -q "^Serving" "$work/serve.out" && return 0
        kill -0 "$serve_pid" 2>/dev/null || fail "serve ended at start"
        sleep 0.1
    done
    fail "serve did not come up"
}
probe() {
    LD_LIBRARY_PATH="$SYNCE_LIBDIR${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" timeout 60 \
        "$probe" "$bridge" "$@" 2>>"$work/probe.err"
}
expect() {
    local got=$1 wanted=$2
    [ "$got" = "$wanted" ] || fail "expected \"$wanted\", got \"$got\""
}

private_bus_start "$work/bus" || fail "no private bus"
"$sim" create "$work/one" --card "Storage Card" >/dev/null || fail "cannot create the handheld"
echo module >"$work/one/Storage Card/a.tmp"
serve "$work/one" --os "$os" --name "Test handheld"

out=$(probe list select Nobody select "Test handheld" connect locked move '\Storage Card\a.tmp' \
    '\Storage Card\a.bbl' free '\Storage Card' find '\Storage Card\*')
expect "$(sed -n 1p <<<"$out")" "list Test handheld"
expect "$(sed -n 2p <<<"$out")" "select 2"  # ERROR_FILE_NOT_FOUND
expect "$(sed -n 3p <<<"$out")" "select OK"
expect "$(sed -n 4p <<<"$out")" "connect OK"
expect "$(sed -n 5p <<<"$out")" "locked 0"
# A move in both protocol versions; free space over version 2 only (SynCE has it there alone:
# ERROR_CALL_NOT_IMPLEMENTED over version 1); either way the link stands.
expect "$(sed -n 6p <<<"$out")" "move OK"
[ -e "$work/one/Storage Card/a.bbl" ] && [ ! -e "$work/one/Storage Card/a.tmp" ] ||
    fail "the move said OK but the files are not so"
free=$(sed -n 7p <<<"$out")
case $os in
    4.*) expect "$free" "free 120" ;;
    *) read -r _ ok available total <<<"$free"
       [ "$ok" = OK ] && [ "$total" -gt 0 ] && [ "$available" -le "$total" ] ||
           fail "free space over version 2: \"$free\"" ;;
esac
expect "$(sed -n 8p <<<"$out")" "find OK"
serve_stop

# A link of 455 bytes a second answers each 4096-byte write after 9 s, under the reply time-out:
# a 300 KiB copy would take 11 minutes; it fails within the operation's bound (20 s of
# slowness), and the link stays failed.
if [ "$os" = 5.2 ]; then
    "$sim" set "$work/one" --speed 455 >/dev/null || fail "cannot slow the link"
    serve "$work/one" --os "$os"
    out=$(probe connect copy 307200 '\Storage Card\slow.bbl' find '\Storage Card\*')
    expect "$(sed -n 1p <<<"$out")" "connect OK"
    read -r _ error seconds <<<"$(sed -n 2p <<<"$out")"
    [ "$error" = 1167 ] && [ "$seconds" -le 35 ] ||
        fail "the slow copy ended with \"$(sed -n 2p <<<"$out")\", not lost within 35 s"
    expect "$(sed -n 3p <<<"$out")" "find 1167"  # ERROR_DEVICE_NOT_CONNECTED
    serve_stop
    "$sim" set "$work/one" --speed none >/dev/null || fail "cannot speed the link up again"
fi

# Several handhelds, one of them locked: only with a serve that carries them.
if "$sim" set --help 2>&1 | grep -q -- --password; then
    "$sim" create "$work/two" --card "Storage Card" >/dev/null || fail "cannot create the second"
    "$sim" set "$work/one" --name Alpha --os "$os" >/dev/null || fail "cannot name the first"
    "$sim" set "$work/two" --name Beta --os "$os" --password 1234 >/dev/null ||
        fail "cannot lock the second"
    serve "$work/one" "$work/two"
    out=$(probe list select Beta connect locked unlock 0000 unlock 1234 locked connect)
    expect "$(sed -n 1p <<<"$out")" "list Alpha|Beta"
    expect "$(sed -n 2p <<<"$out")" "select OK"
    expect "$(sed -n 3p <<<"$out")" "connect FAILED"
    expect "$(sed -n 4p <<<"$out")" "locked 1"
    expect "$(sed -n 5p <<<"$out")" "unlock 86"  # ERROR_INVALID_PASSWORD
    expect "$(sed -n 6p <<<"$out")" "unlock OK"
    expect "$(sed -n 7p <<<"$out")" "locked 0"
    expect "$(sed -n 8p <<<"$out")" "connect OK"
    serve_stop
    echo "the bridge against serve at OS $os: list, choice, move and free space, slow link, unlock fine"
else
    echo "the bridge against serve at OS $os: list, choice, move and free space, slow link fine" \
        "(this serve carries one handheld without a password: choice and unlock not tried)"
fi
