#!/usr/bin/env bash
# SynCE's own tools against handheld-sim serve, on a private bus: synce-pls shows the card with
# attributes D and T, synce-pcp copies onto the card and back byte for byte, synce-pmkdir and
# synce-prm change the card; serve refuses a taken name or a missing bus with one line and
# status 1, and ends cleanly on SIGTERM.
#
#   synce-tools.sh HANDHELD_SIM SYNCE_PREFIX OS_VERSION
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../../tools/shell/synce-env.sh
source "$here/../../../tools/shell/synce-env.sh"

sim=${1:?handheld-sim} prefix=${2:?SynCE prefix} os=${3:?OS version}
synce_locate "$prefix"

synce_scratch synce-tools
fail() {
    echo "FAIL (OS $os): $*" >&2
    [ -s "$work/serve.err" ] && sed 's/^/serve: /' "$work/serve.err" >&2
    exit 1
}
tool() {
    LD_LIBRARY_PATH="$SYNCE_LIBDIR${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" timeout 60 \
        "$SYNCE_BIN/$1" "${@:2}"
}

root="$work/hh" card="$work/hh/Storage Card"
"$sim" create "$root" --card "Storage Card" >/dev/null || fail "cannot create the handheld"
private_bus_start "$work/bus" || fail "no private bus"

"$sim" serve "$root" --os "$os" --name "Test handheld" >"$work/serve.out" 2>"$work/serve.err" &
serve_pid=$!
for _ in $(seq 100); do
    grep -q "^Serving" "$work/serve.out" && break
    kill -0 "$serve_pid" 2>/dev/null || fail "serve ended at start"
    sleep 0.1
done
grep -q "^Serving" "$work/serve.out" || fail "serve did not come up"

# A second serve finds the name taken; one without a bus can't reach it.
"$sim" serve "$root" >/dev/null 2>"$work/second.err"
[ $? -eq 1 ] && [ "$(wc -l <"$work/second.err")" -eq 1 ] && grep -q "is taken" "$work/second.err" ||
    fail "a second serve did not say the name is taken: $(cat "$work/second.err")"
DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus" "$sim" serve "$root" >/dev/null 2>"$work/nobus.err"
[ $? -eq 1 ] && [ "$(wc -l <"$work/nobus.err")" -eq 1 ] && grep -q "cannot reach" "$work/nobus.err" ||
    fail "serve without a bus did not say so: $(cat "$work/nobus.err")"

tool synce-pls '\*' >"$work/pls" 2>"$work/pls.err" || fail "synce-pls failed: $(cat "$work/pls.err")"
grep -Eq '^--D------T .* Storage Card/$' "$work/pls" || fail "no card with D and T in: $(cat "$work/pls")"

head -c $((300 * 1024 + 77)) /dev/urandom >"$work/module.bin"
tool synce-pcp "$work/module.bin" ':\Storage Card\module.bin' >/dev/null 2>"$work/pcp.err" ||
    fail "synce-pcp onto the card failed: $(cat "$work/pcp.err")"
cmp -s "$work/module.bin" "$card/module.bin" || fail "the file on the card differs"
tool synce-pcp ':\Storage Card\module.bin' "$work/back.bin" >/dev/null 2>"$work/pcp.err" ||
    fail "synce-pcp from the card failed: $(cat "$work/pcp.err")"
cmp -s "$work/module.bin" "$work/back.bin" || fail "the file copied back differs"

tool synce-pmkdir '\Storage Card\New Folder' >/dev/null 2>&1 || fail "synce-pmkdir failed"
[ -d "$card/New Folder" ] || fail "synce-pmkdir made no folder"
tool synce-prm '\Storage Card\module.bin' >/dev/null 2>&1 || fail "synce-prm failed"
[ ! -e "$card/module.bin" ] || fail "synce-prm left the file"
tool synce-pls '\Storage Card' >"$work/pls" 2>&1 || fail "synce-pls of the card failed"
grep -q "New Folder/" "$work/pls" && ! grep -q module.bin "$work/pls" ||
    fail "the card's listing is wrong: $(cat "$work/pls")"

kill -TERM "$serve_pid"
wait "$serve_pid"
status=$?
serve_pid=""
[ $status -eq 0 ] || fail "serve ended with status $status on SIGTERM"
echo "SynCE tools against serve at OS $os: listing, copies both ways, folder and delete fine"
