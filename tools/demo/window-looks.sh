#!/usr/bin/env bash
# Screenshots of the installer's window under openbox in a private X server: ready and copying,
# with Qt's light palette, a dark one (qt6ct's "darker", as a desktop with a dark theme hands it
# to Qt programs) and at scale factor 2. Driven by keyboard only, so that any scale works.
#
#   window-looks.sh TRESTEL BIN_DIR SCREENSHOT_DIR
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../shell/xvfb-session.sh
source "$here/../shell/xvfb-session.sh"
# shellcheck source=../shell/installer-driver.sh
source "$here/../shell/installer-driver.sh"

trestel=${1:?trestel program}
bin_dir=${2:?bin dir}
shots=${3:?screenshot dir}
e2e_workspace window-looks
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

mkdir -p "$shots" "$work/config/qt6ct" "$work/modules"
printf '[Appearance]\ncolor_scheme_path=/usr/share/qt6ct/colors/darker.conf\n%s\n%s\n' \
    'custom_palette=true' 'style=Fusion' >"$work/config/qt6ct/qt6ct.conf"
module="$work/modules/Wörterbuch Deutsch-Englisch.dct"
head -c $((512 * 1024)) /dev/urandom >"$module"
xvfb_start || fail "no X server"
xvfb_window_manager || fail "no window manager"

for variant in light dark scale2; do
    root="$work/handheld-$variant"
    "$bin_dir/handheld-sim" create "$root" --card "Storage Card" --speed 128K >/dev/null ||
        fail "handheld-sim create"
    env=(TRESTEL_DEVICE="$root")
    case "$variant" in
        dark) env+=(QT_QPA_PLATFORMTHEME=qt6ct XDG_CONFIG_HOME="$work/config") ;;
        scale2) env+=(QT_SCALE_FACTOR=2) ;;
    esac
    env "${env[@]}" "$trestel" "$module" &
    app_pid=$!
    w=$(wait_window "$app_pid" is_main_window) || fail "$variant: the window did not appear"
    sleep 1
    screenshot "$shots" "$variant-start" "$w" || fail "$variant: screenshot"
    # Connect has the focus: press it, then take the first folder, then press Copy.
    keys_to "$w" space
    sleep 1
    keys_to "$w" Tab Down
    sleep 0.5
    screenshot "$shots" "$variant-ready" "$w" || fail "$variant: screenshot"
    keys_to "$w" Tab space
    sleep 1.5
    screenshot "$shots" "$variant-copying" "$w" || fail "$variant: screenshot"
    box=$(wait_window "$app_pid" is_dialog 60) || fail "$variant: no completion message"
    sleep 0.3
    screenshot "$shots" "$variant-completed" "$box" || fail "$variant: screenshot"
    keys_to "$box" Return
    sleep 0.5
    kill "$app_pid" 2>/dev/null
    wait "$app_pid" 2>/dev/null
    app_pid=""
    [ -f "$root/Program Files/Pocket Lorvex/$(basename "$module")" ] ||
        fail "$variant: the keyboard did not install into the first folder"
done
echo "window looks: screenshots in $shots"
