#!/usr/bin/env bash
# handheld-sim serve as SynCE's connection manager for several handhelds, on a private bus:
# two handhelds reached by name with synce-pls -p; a locked one refused until synce-unlock gives
# its password (a wrong one refused as the manager does); a client listening with
# IRAPIDesktop_Advise through an unplug and a plug; connection requests that nobody takes up
# limited per process and gone after a few seconds, serve's descriptors and threads back to
# their idle count; one card's capacity shared by two copies at once.
#
#   synce-serve.sh HANDHELD_SIM SYNCE_PREFIX ADVISE_CLIENT_SOURCE
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../../tools/shell/synce-env.sh
source "$here/../../../tools/shell/synce-env.sh"

sim=${1:?handheld-sim} prefix=${2:?SynCE prefix} client_source=${3:?advise-client.c}
synce_locate "$prefix"
python=/usr/bin/python3
"$python" -c 'import dbus' 2>/dev/null || {
    echo "SKIP: synce-unlock needs Python's dbus module (python3-dbus)" >&2
    exit 77
}

work=$(mktemp -d "${TMPDIR:-/tmp}/synce-serve.XXXXXX")
serve_pid="" client_pid=""
cleanup() {
    [ -n "$client_pid" ] && kill "$client_pid" 2>/dev/null
    serve_stop
    private_bus_stop
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    [ -s "$work/serve.err" ] && sed 's/^/serve: /' "$work/serve.err" >&2
    exit 1
}
tool() {
    LD_LIBRARY_PATH="$SYNCE_LIBDIR${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" timeout 10 \
        "$SYNCE_BIN/$1" "${@:2}"
}
unlock() {
    LD_LIBRARY_PATH="$SYNCE_LIBDIR" timeout 10 "$python" "$SYNCE_BIN/synce-unlock" "$@"
}
# A figure of serve's from /proc: its open descriptors (fds) or a line of its status.
serve_figure() {
    if [ "$1" = fds ]; then
        find "/proc/$serve_pid/fd" -mindepth 1 -maxdepth 1 | wc -l
    else
        awk -v key="$1:" '$1 == key { print $2 }' "/proc/$serve_pid/status"
    fi
}

read -ra glib <<<"$(pkg-config --cflags --libs glib-2.0)"
cc -o "$work/advise-client" "$client_source" -I"$SYNCE_LIBDIR/../include" "${glib[@]}" \
    -L"$SYNCE_LIBDIR" -lsynce 2>"$work/cc.err" ||
    fail "cannot build the listening client: $(cat "$work/cc.err")"

alpha="$work/alpha" beta="$work/beta"
"$sim" create "$alpha" --card "Storage Card" --capacity "Storage Card=1M" >/dev/null &&
    "$sim" create "$beta" >/dev/null &&
    "$sim" set "$alpha" --name Alpha --os 4.21 >/dev/null &&
    "$sim" set "$beta" --name Beta --password 1234 >/dev/null || fail "cannot make the handhelds"
private_bus_start "$work/bus" || fail "no private bus"
# What a writer that is gone left half-way, deep in the tree: serve removes it once the handheld
# is plugged in, away from the bus's thread.
mkdir -p "$alpha/My Documents/a/b/c" && echo partial >"$alpha/My Documents/a/b/c/.~99999-1.tmp"

# --name and --os name one handheld; two by one name can't be told apart.
"$sim" serve "$alpha" "$beta" --name X >/dev/null 2>"$work/usage.err"
[ $? -eq 2 ] || fail "serve with two handhelds took --name: $(cat "$work/usage.err")"
"$sim" create "$work/twin" >/dev/null && "$sim" set "$work/twin" --name Alpha >/dev/null
"$sim" serve "$alpha" "$work/twin" >/dev/null 2>"$work/twin.err"
[ $? -eq 1 ] && grep -q 'two handhelds are called "Alpha"' "$work/twin.err" ||
    fail "two handhelds called Alpha were served: $(cat "$work/twin.err")"

"$sim" serve "$alpha" "$beta" >"$work/serve.out" 2>"$work/serve.err" &
serve_pid=$!
for _ in $(seq 100); do
    grep -q "^Serving" "$work/serve.out" 2>/dev/null && break
    kill -0 "$serve_pid" 2>/dev/null || fail "serve ended at start"
    sleep 0.1
done
grep -q '"Alpha" (OS 4.21, Remote API version 1).*"Beta" (OS 5.2, Remote API version 2, locked)' \
    "$work/serve.out" || fail "serve's first line: $(cat "$work/serve.out")"

for _ in $(seq 50); do
    [ -e "$alpha/My Documents/a/b/c/.~99999-1.tmp" ] || break
    sleep 0.1
done
[ ! -e "$alpha/My Documents/a/b/c/.~99999-1.tmp" ] || fail "serve left the stale temporary file"

# Each handheld by its name; a name nobody has is not found.
tool synce-pls -p Alpha '\*' >"$work/pls" 2>&1 || fail "synce-pls -p Alpha: $(cat "$work/pls")"
grep -q "Storage Card/" "$work/pls" || fail "Alpha's listing lacks its card: $(cat "$work/pls")"
tool synce-pls -p Nobody '\*' >"$work/pls" 2>&1 && fail "synce-pls found a handheld called Nobody"

# Beta is locked: refused, a wrong password refused, the right one unlocks it.
tool synce-pls -p Beta '\*' >"$work/pls" 2>&1 && fail "the locked handheld was listed"
grep -q "password is not correct" "$work/pls" || fail "locked: $(cat "$work/pls")"
unlock -d Beta 999 >"$work/unlock" 2>&1
[ $? -eq 1 ] && grep -q "Authorization failed" "$work/unlock" ||
    fail "a wrong password: $(cat "$work/unlock")"
unlock -d Beta 1234 >"$work/unlock" 2>&1 || fail "synce-unlock 1234: $(cat "$work/unlock")"
grep -q "Authorization succeeded" "$work/unlock" || fail "unlock said: $(cat "$work/unlock")"
tool synce-pls -p Beta '\*' >"$work/pls" 2>&1 || fail "unlocked Beta: $(cat "$work/pls")"
grep -q "My Documents/" "$work/pls" && ! grep -q "Storage Card" "$work/pls" ||
    fail "Beta's listing: $(cat "$work/pls")"
unlock -d Beta 1234 | grep -q "No password required" || fail "unlocked Beta asked for a password"

# A listening client through a plug, an unplug and a plug. SynCE's library frees the names of
# the handhelds present when it starts listening too early to match them later, so it starts
# with none.
"$sim" unplug "$alpha" >/dev/null && "$sim" unplug "$beta" >/dev/null || fail "cannot unplug"
sleep 0.5
LD_LIBRARY_PATH="$SYNCE_LIBDIR" "$work/advise-client" 3 15 >"$work/advise" 2>"$work/advise.err" &
client_pid=$!
for _ in $(seq 50); do
    grep -q ready "$work/advise" && break
    sleep 0.1
done
"$sim" plug "$alpha" >/dev/null && sleep 0.5 && "$sim" unplug "$alpha" >/dev/null && sleep 0.5 &&
    "$sim" plug "$alpha" >/dev/null
wait "$client_pid"
status=$?
client_pid=""
"$sim" plug "$beta" >/dev/null
[ $status -eq 0 ] || fail "the listening client ended with $status: $(cat "$work/advise" "$work/advise.err")"
[ "$(grep -v ready "$work/advise")" = "$(printf 'connected Alpha\ndisconnected Alpha\nconnected Alpha')" ] ||
    fail "the listening client saw: $(cat "$work/advise")"
tool synce-pls -p Alpha '\*' >/dev/null 2>&1 || fail "Alpha after the plug"

# Connection requests nobody takes up: limited per process, gone within seconds.
tool synce-pls -p Alpha '\*' >/dev/null 2>&1
idle_fds=$(serve_figure fds) idle_threads=$(serve_figure Threads) idle_rss=$(serve_figure VmRSS)
"$python" - >"$work/flood" 2>&1 <<'PY'
import dbus
bus = dbus.SystemBus()
manager = bus.get_object("org.synce.dccm", "/org/synce/dccm/DeviceManager")
path = [p for p in manager.GetConnectedDevices(dbus_interface="org.synce.dccm.DeviceManager")
        if bus.get_object("org.synce.dccm", p).GetName(dbus_interface="org.synce.dccm.Device") == "Alpha"][0]
device = bus.get_object("org.synce.dccm", path)
given = limited = 0
for _ in range(200):
    try:
        device.RequestConnection(dbus_interface="org.synce.dccm.Device")
        given += 1
    except dbus.DBusException as e:
        if e.get_dbus_name() != "org.freedesktop.DBus.Error.LimitsExceeded":
            raise
        limited += 1
print(given, limited)
PY
[ "$(cat "$work/flood")" = "4 196" ] || fail "200 requests from one process: $(cat "$work/flood")"
tool synce-pls -p Alpha '\*' >/dev/null 2>&1 || fail "another process was locked out by the flood"
sleep 4
[ "$(serve_figure fds)" -eq "$idle_fds" ] && [ "$(serve_figure Threads)" -eq "$idle_threads" ] ||
    fail "after the flood serve holds $(serve_figure fds) descriptors and $(serve_figure Threads) threads (idle: $idle_fds, $idle_threads)"
rss=$(serve_figure VmRSS)
[ "$rss" -le $((idle_rss + 1024)) ] ||
    fail "after the flood serve's memory is $rss KiB (idle: $idle_rss KiB)"
echo "unclaimed requests: 4 of 200 from one process, the rest refused; afterwards $rss KiB (idle $idle_rss KiB), $idle_fds descriptors, $idle_threads threads"

# One card, one capacity: two copies of 700 KiB at once onto the 1 MiB card.
head -c $((700 * 1024)) /dev/urandom >"$work/one.bin"
cp "$work/one.bin" "$work/two.bin"
tool synce-pcp -p Alpha "$work/one.bin" ':\Storage Card\one.bin' >"$work/pcp1" 2>&1 &
first=$!
tool synce-pcp -p Alpha "$work/two.bin" ':\Storage Card\two.bin' >"$work/pcp2" 2>&1
second_status=$?
wait "$first"
first_status=$?
[ $first_status -ne 0 ] || [ $second_status -ne 0 ] || fail "both copies fit on the 1 MiB card"
grep -q "not enough space" "$work/pcp1" "$work/pcp2" ||
    fail "the copies failed otherwise: $(cat "$work/pcp1" "$work/pcp2")"
used=$(find "$alpha/Storage Card" -type f ! -name '.*' -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
[ "$used" -le $((1024 * 1024)) ] || fail "the 1 MiB card holds $used bytes"

# A handheld locks again when it is plugged in again.
"$sim" unplug "$beta" >/dev/null && sleep 0.5 && "$sim" plug "$beta" >/dev/null && sleep 0.5
tool synce-pls -p Beta '\*' >/dev/null 2>&1 && fail "Beta was still unlocked after a plug"

kill -TERM "$serve_pid"
wait "$serve_pid"
status=$?
serve_pid=""
[ $status -eq 0 ] || fail "serve ended with status $status on SIGTERM"
echo "serve: two handhelds by name, a locked one unlocked, a listening client, limits and a shared card"
