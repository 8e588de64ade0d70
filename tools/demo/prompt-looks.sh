#!/usr/bin/env bash
# Screenshots of the installer's two handheld questions under openbox in a private X server: the
# chooser, the password question and the same after a wrong password, with Qt's light palette,
# a dark one (qt6ct's "darker") and at scale factor 2. Each is answered by keyboard only and the
# answer checked.
#
#   prompt-looks.sh PROMPT_LOOK SCREENSHOT_DIR
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../shell/xvfb-session.sh
source "$here/../shell/xvfb-session.sh"
# shellcheck source=../shell/installer-driver.sh
source "$here/../shell/installer-driver.sh"

look=${1:?handheld-prompt-look program}
shots=${2:?screenshot dir}
e2e_workspace prompt-looks
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
any_window() { true; }

mkdir -p "$shots" "$work/config/qt6ct"
printf '[Appearance]\ncolor_scheme_path=/usr/share/qt6ct/colors/darker.conf\n%s\n%s\n' \
    'custom_palette=true' 'style=Fusion' >"$work/config/qt6ct/qt6ct.conf"
xvfb_start || fail "no X server"
xvfb_window_manager || fail "no window manager"

# Shows one question, takes its screenshot, answers it with keys and checks the answer.
#   ask VARIANT SHOT EXPECTED "KEYS..." ARGS...
ask() {
    local variant=$1 shot=$2 expected=$3 keys=$4
    shift 4
    local env=()
    case "$variant" in
        dark) env+=(QT_QPA_PLATFORMTHEME=qt6ct XDG_CONFIG_HOME="$work/config") ;;
        scale2) env+=(QT_SCALE_FACTOR=2) ;;
    esac
    env "${env[@]}" "$look" "$@" >"$work/answer" &
    app_pid=$!
    local w
    w=$(wait_window "$app_pid" any_window) || fail "$variant $shot: no dialog"
    sleep 1
    screenshot "$shots" "prompt-$variant-$shot" "$w" || fail "$variant $shot: screenshot"
    # shellcheck disable=SC2086
    keys_to "$w" $keys
    wait_end "$app_pid" 10 || fail "$variant $shot: the dialog did not close"
    app_pid=""
    [ "$(cat "$work/answer")" = "$expected" ] ||
        fail "$variant $shot: answered '$(cat "$work/answer")', expected '$expected'"
}

for variant in light dark scale2; do
    ask "$variant" chooser "answer: Storage handheld" "Down Return" \
        choose "Field handheld" "Storage handheld" "Lab handheld (spare)" \
        "Handheld of the field laboratory, second floor, left shelf, with the blue case"
    ask "$variant" password "answer: 1234" "1 2 3 4 Return" password "Field handheld"
    ask "$variant" password-wrong "cancelled" "Escape" password "Field handheld" wrong
done
echo "prompt looks: screenshots in $shots"
