#!/usr/bin/env bash
# Every SynCE tool against handheld-sim serve, on a private bus: each ends within 10 s with output
# of a sane size, and works where a handheld works (listing, copies both ways and within the
# handheld, move, folders made and removed, delete, status, time) or fails cleanly, saying so
# with a status other than 0, where the emulated handheld offers nothing (registry, programs,
# processes, shortcuts, databases, configuration).
#
#   synce-every-tool.sh HANDHELD_SIM SYNCE_PREFIX OS_VERSION
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../../tools/shell/synce-env.sh
source "$here/../../../tools/shell/synce-env.sh"

sim=${1:?handheld-sim} prefix=${2:?SynCE prefix} os=${3:?OS version}
synce_locate "$prefix"

synce_scratch synce-every-tool
failures=0
fail() {
    echo "FAIL (OS $os): $*" >&2
    failures=$((failures + 1))
}
ran=()
# run NAME ARGS...: the tool's status in $status, its output (both streams) in $work/out.
run() {
    ran+=("$1")
    LD_LIBRARY_PATH="$SYNCE_LIBDIR${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" PATH="$SYNCE_BIN:$PATH" \
        timeout 10 "$SYNCE_BIN/$1" "${@:2}" >"$work/out" 2>&1 </dev/null
    status=$?
    if [ $status -eq 124 ]; then
        fail "$1 ${*:2} did not end within 10 s"
    elif [ "$(wc -c <"$work/out")" -gt 65536 ]; then
        fail "$1 ${*:2} wrote $(wc -c <"$work/out") bytes"
    fi
}
works() {
    run "$@"
    [ $status -eq 0 ] || fail "$1 ${*:2} failed ($status): $(head -c 400 "$work/out")"
}
refused() {
    run "$@"
    [ $status -ne 0 ] && [ $status -ne 124 ] ||
        fail "$1 ${*:2} claimed a success ($status): $(head -c 400 "$work/out")"
}

root="$work/hh" card="$work/hh/Storage Card"
"$sim" create "$root" --card "Storage Card" >/dev/null || { fail "cannot create the handheld"; exit 1; }
private_bus_start "$work/bus" || { fail "no private bus"; exit 1; }
"$sim" serve "$root" --os "$os" --name "Test handheld" >"$work/serve.out" 2>"$work/serve.err" &
serve_pid=$!
for _ in $(seq 100); do
    grep -q "^Serving" "$work/serve.out" && break
    sleep 0.1
done
grep -q "^Serving" "$work/serve.out" || { fail "serve did not come up: $(cat "$work/serve.err")"; exit 1; }

# What a handheld does.
head -c $((200 * 1024 + 3)) /dev/urandom >"$work/module.bin"
works synce-pcp "$work/module.bin" ':\Storage Card\module.bin'
grep -q "error finding" "$work/out" && fail "synce-pcp to a new name: $(cat "$work/out")"
cmp -s "$work/module.bin" "$card/module.bin" || fail "synce-pcp: the file on the card differs"
run synce-pcp ':\Storage Card\module.bin' "$work/back.bin"
cmp -s "$work/module.bin" "$work/back.bin" || fail "synce-pcp from the card: the copy differs"
run synce-pcp ':\Storage Card\module.bin' ':\Storage Card\copy.bin'
cmp -s "$work/module.bin" "$card/copy.bin" || fail "synce-pcp within the handheld: $(cat "$work/out")"
works synce-pmv '\Storage Card\copy.bin' '\Storage Card\moved.bin'
[ -e "$card/moved.bin" ] && [ ! -e "$card/copy.bin" ] || fail "synce-pmv did not move the file"
works synce-pmkdir '\Storage Card\Folder'
[ -d "$card/Folder" ] || fail "synce-pmkdir made no folder"
works synce-prmdir '\Storage Card\Folder'
[ ! -e "$card/Folder" ] || fail "synce-prmdir left the folder"
works synce-prm '\Storage Card\moved.bin'
[ ! -e "$card/moved.bin" ] || fail "synce-prm left the file"
works synce-pls '\Storage Card'
grep -q "module.bin" "$work/out" || fail "synce-pls does not list the module: $(cat "$work/out")"
works synce-pstatus
grep -q "^Store size: [0-9]" "$work/out" && grep -q "^Version: *$os\." "$work/out" &&
    ! grep -q "Failed to get" "$work/out" || fail "synce-pstatus: $(cat "$work/out")"
works synce-psettime

# What the emulated handheld does not offer: a clean failure, no claimed success.
refused synce-registry -l HKLM Software
refused synce-registry HKLM Software Value
refused synce-registry -w HKLM Software Value 1
refused synce-registry -n HKLM 'Software\New'
refused synce-list-programs
refused synce-remove-program 'Some Program'
refused synce-prun '\Windows\notes.exe'
refused synce-pkillall
refused synce-pshortcut '\Windows\a.lnk' '\Windows\notes.exe'
refused rapiconfig "$work/module.bin"
refused synce-install-cab "$work/module.bin"
# synce-database reports each failure and ends with status 0 whatever happens: it must end and
# name the failure.
run synce-database
grep -qi "fail\|error" "$work/out" || fail "synce-database reported no failure: $(cat "$work/out")"

# Every tool SynCE installs from its tools folder ran.
for t in "$SYNCE_BIN"/synce-p* "$SYNCE_BIN"/synce-registry "$SYNCE_BIN"/synce-database \
    "$SYNCE_BIN"/synce-list-programs "$SYNCE_BIN"/synce-install-cab \
    "$SYNCE_BIN"/synce-remove-program "$SYNCE_BIN"/rapiconfig; do
    [[ " ${ran[*]} " == *" $(basename "$t") "* ]] || fail "$(basename "$t") was not run"
done

kill -TERM "$serve_pid"
wait "$serve_pid"
serve_status=$?
serve_pid=""
[ $serve_status -eq 0 ] || fail "serve ended with status $serve_status"
if [ $failures -ne 0 ]; then
    sed 's/^/serve: /' "$work/serve.err" >&2
    exit 1
fi
echo "Every SynCE tool against serve at OS $os: ${#ran[@]} runs, each ended with a sound result"
