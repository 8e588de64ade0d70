#!/usr/bin/env bash
# Builds SynCE's core (library, tools, connection manager) from the source snapshot into PREFIX,
# with its default configuration, for the tests that run against SynCE's real library.
# A stamp in PREFIX keeps the build across runs: a second call returns at once.
#
#   tools/build-synce.sh [--optional] PREFIX [TARBALL]
#
# TARBALL defaults to $SYNCE_TARBALL, else third-party/synce-core-0.17.tar.gz in the shared/
# folder beside the source tree (where a checkout finds the project's shared files), else in
# /work/shared.
# Status 0 when PREFIX holds a built SynCE; 1 with one line on standard error otherwise.
# --optional: a missing snapshot is no error (status 0 with a note; the tests then look for an
# installed SynCE or skip).
set -euo pipefail

optional=0
if [ "${1:-}" = --optional ]; then
    optional=1
    shift
fi
prefix=${1:?usage: build-synce.sh [--optional] PREFIX [TARBALL]}
snapshot=third-party/synce-core-0.17.tar.gz
beside="$(cd "$(dirname "$0")/../.." && pwd)/shared/$snapshot"
[ -r "$beside" ] || beside=/work/shared/$snapshot
tarball=${2:-${SYNCE_TARBALL:-$beside}}
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
stamp="$prefix/.built"

if [ -f "$stamp" ] && [ -x "$prefix/bin/synce-pls" ]; then
    exit 0
fi
if [ ! -r "$tarball" ]; then
    echo "build-synce.sh: no SynCE source snapshot at $tarball" >&2
    [ $optional -eq 1 ] && exit 0
    exit 1
fi
for tool in autoreconf libtoolize make cc pkg-config; do
    if ! command -v "$tool" >/dev/null; then
        echo "build-synce.sh: $tool is missing (run tools/setup-deps.sh)" >&2
        exit 1
    fi
done

# One build at a time per prefix (CTest may start several users of it at once).
exec 9>"$prefix/.lock"
flock 9
if [ -f "$stamp" ] && [ -x "$prefix/bin/synce-pls" ]; then
    exit 0
fi

src="$prefix/.src"
log="$prefix/build.log"
rm -rf "$src"
mkdir -p "$src"
tar -xzf "$tarball" -C "$src"
if ! (
    cd "$src/core"
    ./bootstrap
    DHCLIENTPATH=/bin/true ./configure --prefix="$prefix" --disable-python-bindings
    make -j"${SYNCE_JOBS:-2}"
    make install
) >"$log" 2>&1; then
    echo "build-synce.sh: the SynCE build failed; see $log" >&2
    exit 1
fi
rm -rf "$src"
date -u +%FT%TZ >"$stamp"
