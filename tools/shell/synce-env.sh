#!/usr/bin/env bash
# Shell helpers for the tests that run SynCE's real library and tools (source this file).
#
#   synce_locate PREFIX   sets SYNCE_BIN (its tools) and SYNCE_LIBDIR (libsynce.so.0) from the
#                         snapshot built into PREFIX (tools/build-synce.sh), else from an
#                         installed SynCE; with neither it prints why and exits 77 (CTest: skip).
#   private_bus_start DIR starts a bus of its own (dbus-daemon, config in DIR) and exports
#                         DBUS_SYSTEM_BUS_ADDRESS for it, so tests run side by side;
#                         private_bus_stop ends it.

synce_locate() {
    local prefix=$1
    if [ -x "$prefix/bin/synce-pls" ] && [ -e "$prefix/lib/libsynce.so.0" ]; then
        SYNCE_BIN="$prefix/bin"
        SYNCE_LIBDIR="$prefix/lib"
    elif command -v synce-pls >/dev/null && ldconfig -p 2>/dev/null | grep -q 'libsynce\.so\.0 '; then
        SYNCE_BIN=$(dirname "$(command -v synce-pls)")
        SYNCE_LIBDIR=$(ldconfig -p | sed -n 's/.*libsynce\.so\.0 .*=> \(.*\)\/libsynce\.so\.0$/\1/p' | head -n1)
    else
        echo "SKIP: neither a SynCE built from the snapshot ($prefix) nor an installed libsynce" >&2
        exit 77
    fi
    export SYNCE_BIN SYNCE_LIBDIR
}

private_bus_start() {
    local dir=$1 address=""
    command -v dbus-daemon >/dev/null || {
        echo "private_bus_start: dbus-daemon is missing (run tools/setup-deps.sh)" >&2
        return 1
    }
    mkdir -p "$dir"
    cat >"$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:dir=$dir</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
    mkfifo "$dir/address"
    dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile --print-address=3 \
        3>"$dir/address" >"$dir/bus.log" 2>&1 &
    PRIVATE_BUS_PID=$!
    if ! read -r -t 20 address <"$dir/address" || [ -z "$address" ]; then
        echo "private_bus_start: dbus-daemon did not start (see $dir/bus.log)" >&2
        kill "$PRIVATE_BUS_PID" 2>/dev/null
        PRIVATE_BUS_PID=""
        return 1
    fi
    export DBUS_SYSTEM_BUS_ADDRESS=$address PRIVATE_BUS_PID
}

private_bus_stop() {
    if [ -n "${PRIVATE_BUS_PID:-}" ]; then
        kill "$PRIVATE_BUS_PID" 2>/dev/null
        wait "$PRIVATE_BUS_PID" 2>/dev/null
        PRIVATE_BUS_PID=""
    fi
}

# Ends handheld-sim serve started in the background with its pid in serve_pid, if it runs.
serve_stop() {
    if [ -n "${serve_pid:-}" ]; then
        kill "$serve_pid" 2>/dev/null
        wait "$serve_pid" 2>/dev/null
        serve_pid=""
    fi
}

# A scratch folder for a test in work, and at the script's exit serve and the private bus ended
# and the folder removed.
synce_scratch() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
    serve_pid=""
    trap 'serve_stop; private_bus_stop; rm -rf "$work"' EXIT
}
