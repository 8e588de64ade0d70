#!/usr/bin/env bash
# Builds the .deb and checks it as it lies (tools/check-package.sh: lintian, stripped programs, the
# template's installer, manual pages, metainfo, MIME definitions), installs it with apt-get from a
# clean folder, starts the installed trestel on a module through the .desktop entry's command line
# (inside Xvfb), closes it, removes the package and checks that nothing of it is left. Changes the
# system's packages: run it as root on a machine where that is wanted, never from the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
project=$(pwd)
source tools/shell/installer-driver.sh
source tools/shell/xvfb-session.sh

cmake --build build
(cd build && cpack -G DEB >/dev/null)
deb=$(ls build/pocket-lorvex-installer_*.deb | head -n 1)
clean=$(mktemp -d /tmp/check-deb.XXXXXX)
trap 'xvfb_stop; rm -rf "$clean"' EXIT
cp "$deb" "$clean/"
cd "$clean"
files=$(dpkg-deb -c ./*.deb | awk '{print substr($6, 2)}' | grep -v '/$')
"$project/tools/check-package.sh" ./*.deb

apt-get install -y -qq ./*.deb >/dev/null
echo "installed: $(dpkg-query -W pocket-lorvex-installer)"
desktop-file-validate /usr/share/applications/trestel.desktop
grep -q 'application/x-pocket-lorvex-bbl' /usr/share/mime/globs2 &&
    echo "mime: *.bbl is application/x-pocket-lorvex-bbl"
grep -q 'application/x-pocket-lorvex-bbl=trestel.desktop' /usr/share/applications/mimeinfo.cache &&
    echo "desktop database: .bbl files open with trestel.desktop"
! grep -q 'pocket-lorvex.*\*\.map' /usr/share/mime/globs2 || { echo "mime: claims *.map"; exit 1; }
man -w trestel bundora bundora-pack handheld-sim >/dev/null && echo "man: the four pages are found"

# The entry's command line, with %f replaced by a module path, as a file manager would run it.
exec_line=$(sed -n 's/^Exec=//p' /usr/share/applications/trestel.desktop)
module="$clean/my module.bbl"
head -c 50000 /dev/urandom >"$module"
handheld-sim create "$clean/handheld" --card "Storage Card" >/dev/null
xvfb_start
command=${exec_line/\%f/}
TRESTEL_DEVICE="$clean/handheld" $command "$module" &
pid=$!
w=$(wait_window "$pid" is_main_window 20) || { echo "no installer window"; exit 1; }
echo "started from the .desktop entry: $(tr '\0' ' ' </proc/$pid/cmdline)"
click_connect "$w"
sleep 1
choose_folder "$w" 1
sleep 0.3
click_copy "$w"
box=$(wait_window "$pid" is_dialog 20)
keys_to "$box" Return
sleep 1
file_exit "$w"
wait_end "$pid" 20
cmp "$module" "$clean/handheld/Program Files/Pocket Lorvex/my module.bbl"
echo "the module arrived on the handheld"

apt-get remove --purge -y -qq pocket-lorvex-installer >/dev/null
left=0
for f in $files; do
    if [ -e "$f" ]; then
        echo "left behind: $f"
        left=1
    fi
done
! grep -q 'pocket-lorvex' /usr/share/mime/globs2 || { echo "mime database still knows it"; left=1; }
[ $left -eq 0 ] && echo "removed without leftovers"
exit $left
