#!/usr/bin/env bash
# The road of two modules from a launcher to the emulated handheld.
#
#   road.sh BIN_DIR WORK_DIR
#
# Creates the emulated handheld (main memory and one storage card) when it doesn't exist, makes
# WORK_DIR/modules with two sample modules and the packed launcher beside them, a registry file
# that names WORK_DIR/installer/ as the installer folder, and starts the launcher.
#
# With a display (and ROAD_HEADLESS unset) the person does the installs in the real windows.
# Without one, the same road runs inside a private Xvfb: both installer windows are driven with
# xdotool (Connect, a folder, Copy, OK, File Exit), each step saved as a screenshot in
# WORK_DIR/screenshots. The first module goes to main memory, the second to the storage card.
# Exits 0 only if both modules arrived intact.
#
# Environment: TRESTEL_DEVICE, the handheld's root (default: the emulator's default root).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "${1:?usage: road.sh BIN_DIR WORK_DIR}" && pwd)
mkdir -p "${2:?usage: road.sh BIN_DIR WORK_DIR}"
work=$(cd "$2" && pwd)
# A relative XDG_DATA_HOME counts as unset, as the installer takes it.
data=${XDG_DATA_HOME:-}
[[ "$data" == /* ]] || data=$HOME/.local/share
root=${TRESTEL_DEVICE:-$data/trestel/handheld}
export TRESTEL_DEVICE=$root
shots="$work/screenshots"
modules="$work/modules"
installer_dir="$work/installer"
registry="$work/registry.reg"
card="Storage Card"

# shellcheck source=../shell/installer-driver.sh
source "$here/../shell/installer-driver.sh"
# shellcheck source=../shell/xvfb-session.sh
source "$here/../shell/xvfb-session.sh"

say() { printf 'road: %s\n' "$*"; }
fail() {
    printf 'road: FAILED: %s\n' "$*" >&2
    if [ -n "${DISPLAY:-}" ] && [ -d "$shots" ]; then
        import -window root "$shots/failure.png" 2>/dev/null &&
            printf 'road: the screen at the failure: %s\n' "$shots/failure.png" >&2
    fi
    exit 1
}

# --- The handheld, the modules, the launcher and the registry ------------------------------

if [ ! -d "$root" ]; then
    "$bin/handheld-sim" create "$root" --card "$card" >/dev/null || fail "can't create $root"
    say "created an emulated handheld at $root (main memory and the card \"$card\")"
else
    say "using the emulated handheld at $root"
fi
[ -d "$root/$card" ] || fail "the handheld at $root has no storage card \"$card\""

mkdir -p "$modules" "$installer_dir" "$shots" || fail "can't make $work"
rm -f "$shots"/*.png
for sample in sample.bbl sample.dct; do
    [ -s "$modules/$sample" ] || head -c $((200 * 1024 + RANDOM)) /dev/urandom >"$modules/$sample"
done
cp -f "$bin/bundora" "$modules/bundora" || fail "no packed launcher in $bin"
# A fresh installer folder, so that the launcher extracts the installer it carries.
rm -f "$installer_dir/Trestel.exe"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pocket Lorvex]\r\n"INSTALLDIR"="%s/"\r\n' \
    "$installer_dir" >"$registry"
export BUNDORA_REGISTRY=$registry
say "modules and launcher: $modules"
say "installer folder (from $registry): $installer_dir/"

# Where each module went: "main" or the card's name, by module name.
declare -A placed=()

# Drives one installer window from start to end; $1 is its number (1 or 2).
drive_one() {
    local n=$1 w pid module name row where box
    w=$(wait_window "" is_main_window 30) || fail "installer window $n did not appear"
    # The launcher runs its installers strictly one after another.
    [ "$(installer_windows "" | wc -l)" -eq 1 ] || fail "more than one installer window"
    pid=$(xdotool getwindowpid "$w") || fail "no process for window $n"
    module=$(tr '\0' '\n' <"/proc/$pid/cmdline" | sed -n 2p)
    name=$(basename "$module")
    if [ "$n" -eq 1 ]; then row=1 where=main; else row=2 where=$card; fi
    say "installer $n: $name -> $( [ "$where" = main ] && echo 'Program Files\Pocket Lorvex' || echo "$card\\Pocket Lorvex")"
    sleep 0.5
    screenshot "$shots" "$n-1-start" "$w" || fail "screenshot"
    click_connect "$w"
    wait_for 20 status_green "$w" || fail "installer $n did not connect"
    screenshot "$shots" "$n-2-connected" "$w" || fail "screenshot"
    choose_folder "$w" "$row"
    sleep 0.5
    screenshot "$shots" "$n-3-folder-chosen" "$w" || fail "screenshot"
    click_copy "$w"
    box=$(wait_window "$pid" is_dialog 60) || fail "no message after the copy of $name"
    sleep 0.3
    screenshot "$shots" "$n-4-copied-message" "$box" || fail "screenshot"
    keys_to "$box" Return
    sleep 1
    screenshot "$shots" "$n-5-after-ok" "$w" || fail "screenshot"
    file_exit "$w"
    wait_end "$pid" 20 || fail "installer $n did not end after File, Exit"
    placed[$name]=$where
}

if [ -n "${DISPLAY:-}" ] && [ -z "${ROAD_HEADLESS:-}" ]; then
    say "starting the launcher; do the installs in the installer windows"
    "$modules/bundora"
    status=$?
    say "the launcher ended with status $status"
    "$bin/handheld-sim" show "$root"
    exit $status
fi

xvfb_start || fail "no X server (Xvfb)"
trap 'xvfb_stop' EXIT
say "no display: driving the installer windows inside Xvfb ($DISPLAY)"
"$modules/bundora" &
launcher=$!
drive_one 1
drive_one 2
wait_end "$launcher" 30
status=$?
[ $status -eq 0 ] || fail "the launcher ended with status $status"
[ -s "$installer_dir/Trestel.exe" ] || fail "the launcher did not extract Trestel.exe"

say "what the handheld holds now:"
"$bin/handheld-sim" show "$root"

ok=0
for name in "${!placed[@]}"; do
    if [ "${placed[$name]}" = main ]; then
        target="$root/Program Files/Pocket Lorvex/$name"
    else
        target="$root/${placed[$name]}/Pocket Lorvex/$name"
    fi
    if cmp -s "$modules/$name" "$target"; then
        say "intact: $target"
        ok=$((ok + 1))
    else
        say "MISSING OR DIFFERENT: $target"
    fi
done
say "screenshots of every step: $shots"
[ $ok -eq 2 ] || fail "$ok of 2 modules arrived intact"
say "both modules arrived intact"
