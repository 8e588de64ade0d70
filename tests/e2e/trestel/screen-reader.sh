#!/usr/bin/env bash
# A keys-only install with the Orca screen reader listening, in a private X server under openbox
# with an accessibility bus on a session bus of its own. Orca's debug log records every phrase it
# would speak (no speech engine is needed); the run checks that it said the outcome of Connect, the
# first folder after the first Down, and the completion message within 5 seconds of its box.
# Orca writes its log in blocks, so the run notes the time of each step, gives Orca time to
# follow, and reads the log once Orca has ended.
#
#   screen-reader.sh TRESTEL BIN_DIR LOG_DIR
#       LOG_DIR keeps Orca's log of the last run (screen-reader-orca.log).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../../tools/shell/xvfb-session.sh
source "$here/../../../tools/shell/xvfb-session.sh"
# shellcheck source=../../../tools/shell/installer-driver.sh
source "$here/../../../tools/shell/installer-driver.sh"

trestel=${1:?trestel program}
bin_dir=${2:?bin dir}
log_dir=${3:?log dir}
readonly kMaxDelay=5

fail() {
    echo "FAIL: $*" >&2
    [ -f "${work:-}/orca.log" ] && cp "$work/orca.log" "$log_dir/screen-reader-orca.log"
    [ -n "${DISPLAY:-}" ] && import -window root "$log_dir/screen-reader-failure.png" 2>/dev/null
    exit 1
}

mkdir -p "$log_dir"

# The outer run: a scratch home (Orca and dconf write their settings there) and a session bus of
# its own, on which the inner run starts the accessibility bus.
if [ "${SCREEN_READER_INNER:-}" != 1 ]; then
    e2e_workspace screen-reader
    mkdir -p "$work/home"
    HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local" \
        XDG_CACHE_HOME="$work/home/.cache" SCREEN_READER_INNER=1 SCREEN_READER_WORK="$work" \
        dbus-run-session -- "$0" "$@"
    exit $?
fi

work=$SCREEN_READER_WORK
app_pid=""
orca_pid=""
# Ends a process this run started: asked first, forced after 10 seconds.
stop_pid() {
    [ -n "$1" ] && kill -0 "$1" 2>/dev/null || return 0
    kill "$1" 2>/dev/null
    wait_end "$1" 10 >/dev/null || kill -KILL "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}
stop_all() {
    stop_pid "$app_pid"
    stop_pid "$orca_pid"
    xvfb_stop
}
trap stop_all EXIT

log="$work/orca.log"
now() { date +%s.%N; }
# Seconds since the epoch of a time of day in Orca's log (today).
epoch_of() { date -d "today $1" +%s.%N; }
# The first phrase containing TEXT that Orca said at or after the time AFTER, as "TIME|phrase".
said_after() {
    local after=$1 text=$2 time phrase
    while IFS= read -r line; do
        time=${line%% - SPEECH OUTPUT:*}
        phrase=$(sed -E "s/^[0-9:.]+ - SPEECH OUTPUT: '(.*)' ?\{.*/\1/" <<<"$line")
        if awk -v t="$(epoch_of "$time")" -v a="$after" 'BEGIN { exit !(t >= a) }' &&
            [[ "$phrase" == *"$text"* ]]; then
            echo "$(epoch_of "$time")|$phrase"
            return 0
        fi
    done < <(grep -F "SPEECH OUTPUT:" "$log")
    return 1
}
# Seconds from time $1 to the time of a phrase "TIME|phrase".
later() { awk -v a="$1" -v t="${2%%|*}" 'BEGIN { printf "%.2f", t - a }'; }

xvfb_start || fail "no X server"
xvfb_window_manager || fail "no window manager"
# The session bus starts the accessibility bus on the first request; Orca and the installer
# find it through the session bus.
a11y_bus_up() {
    dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress \
        >/dev/null 2>&1
}
wait_for 30 a11y_bus_up || fail "no accessibility bus"
# Without a speech engine: Orca's log records what it would say (no speech-dispatcher is started).
orca --disable speech -u "$work/orca-settings" --debug-file "$log" >"$work/orca.out" 2>&1 &
orca_pid=$!

root="$work/handheld"
module="$work/sample.bbl"
"$bin_dir/handheld-sim" create "$root" --card "Storage Card" --speed 1M >/dev/null ||
    fail "handheld-sim create"
head -c $((4 * 1024 * 1024)) /dev/urandom >"$module"
sleep 15  # Orca starting up

t_start=$(now)
QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=xcb TRESTEL_DEVICE="$root" "$trestel" \
    "$module" >"$work/trestel.log" 2>&1 &
app_pid=$!
w=$(wait_window "$app_pid" is_main_window) || fail "the window did not appear"
sleep 5
# Space on Connect; Tab into the list; the first Down; Tab to Copy; Enter: 4 MiB at 1 MiB/s.
t_connect=$(now)
keys_to "$w" space
sleep 5
keys_to "$w" Tab
sleep 3
t_down=$(now)
keys_to "$w" Down
sleep 4
keys_to "$w" Tab
sleep 2
t_copy=$(now)
keys_to "$w" Return
box=$(wait_window "$app_pid" is_dialog 60) || fail "no completion message"
t_box=$(now)
sleep 10
# OK closes the box: the focus goes back to Copy.
t_ok=$(now)
keys_to "$box" Return
sleep 4
file_exit "$w"
wait_end "$app_pid" 10 || echo "note: File, Exit did not end the installer in time; ended it"
stop_pid "$app_pid"
app_pid=""
stop_pid "$orca_pid"  # Orca writes the rest of its log as it ends
orca_pid=""
cp "$log" "$log_dir/screen-reader-orca.log"
cmp -s "$module" "$root/Program Files/Pocket Lorvex/sample.bbl" || fail "the module did not arrive"

said_after "$t_start" "Pocket Lorvex Module Installer frame" >/dev/null ||
    fail "Orca did not read the installer's window (not started in time? see its log)"
said=$(said_after "$t_connect" "ActiveSync Status: Connected") || fail "Connect's outcome not spoken"
echo "Connect: \"${said#*|}\" $(later "$t_connect" "$said") s after Space"
said=$(said_after "$t_down" 'Program Files\Pocket Lorvex') || fail "the first folder not spoken"
echo "first Down: \"${said#*|}\" $(later "$t_down" "$said") s after the key"
said=$(said_after "$t_copy" "Installation of sample.bbl is completed.") ||
    fail "the completion message was not spoken within 10 s"
delay=$(later "$t_box" "$said")
echo "completion: \"${said#*|}\" $delay s after its box appeared" \
    "($(later "$t_copy" "$said") s after Enter on Copy)"
awk -v d="$delay" -v m="$kMaxDelay" 'BEGIN { exit !(d <= m) }' ||
    fail "the completion message came $delay s after its box (more than $kMaxDelay s)"
said_after "$t_copy" "Information." >/dev/null || fail "the box's kind was not spoken"
said=$(said_after "$t_ok" "push button") || fail "no focus spoken after the box"
[[ "$said" == *"Press the Copy button"* ]] || fail "after the copy the focus is on: ${said#*|}"
echo "after the box: \"${said#*|}\""
echo "progress phrases: $(grep -F "SPEECH OUTPUT:" "$log" | grep -c " percent\.")"
echo "screen reader: keys-only install followed by ear; Orca's log in $log_dir"
