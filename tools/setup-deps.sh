#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running the project need.
# Idempotent: asks apt only for what is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-private-dev libgl-dev
    libgtest-dev libgmock-dev
    clang libclang-rt-14-dev
    xvfb xdotool x11-utils imagemagick fonts-dejavu-core fonts-dejavu-extra fonts-wine openbox qt6ct
    orca at-spi2-core dbus-x11
    shared-mime-info desktop-file-utils dpkg-dev file
    help2man man-db lintian appstream debhelper devscripts
    dbus-daemon python3-dbus
    autoconf automake libtool libglib2.0-dev libdbus-1-dev libgudev-1.0-dev libudev-dev udev gettext
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
