#!/usr/bin/env bash
# Checks the installer's .deb without installing it (no root needed): lintian reports no errors
# or warnings; every program in it is stripped; the launcher template carries exactly
# "Trestel.exe", byte for byte /usr/bin/trestel; each program has a manual page that man shows
# without complaints; the AppStream metainfo validates and names the desktop entry and the MIME
# types that the package defines; each MIME type has a generic icon and none claims *.map.
#
# Usage: check-package.sh DEB
#        check-package.sh --build BUILD_DIR   (makes the .deb with CPack in a temporary folder)
# Exit status: 0 all passed, 1 a check failed, 77 the rest passed but lintian or appstreamcli
# is missing, so those checks were skipped.
set -euo pipefail

work=$(mktemp -d /tmp/check-package.XXXXXX)
trap 'rm -rf "$work"' EXIT

if [ "${1:-}" = "--build" ]; then
    config="$(realpath "$2")/CPackConfig.cmake"
    (cd "$work" && cpack -G DEB --config "$config" -B "$work/deb" >"$work/cpack.log") ||
        { cat "$work/cpack.log"; exit 1; }
    deb=$(ls "$work"/deb/*.deb)
else
    deb=$(realpath "$1")
fi
root="$work/root"
dpkg-deb -x "$deb" "$root"

failed=0
skipped=()
ok() { echo "ok: $*"; }
fail() {
    echo "FAILED: $*"
    failed=1
}

# 1. lintian: no errors, no warnings. Overrides are allowed only with a reason above each.
if command -v lintian >/dev/null; then
    if lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1; then
        ok "lintian reports no errors or warnings"
    else
        fail "lintian:"
        grep -v '^running with root privileges' "$work/lintian" || true
    fi
else
    skipped+=(lintian)
fi
for overrides in "$root"/usr/share/lintian/overrides/*; do
    [ -f "$overrides" ] || continue
    if awk '/^[^#[:space:]]/ && prev !~ /^#/ { bad = 1 } { prev = $0 } END { exit bad }' \
        "$overrides"; then
        ok "every lintian override in ${overrides#"$root"} gives its reason"
    else
        fail "a lintian override in ${overrides#"$root"} has no reason in a comment above it"
    fi
done

# 3. Stripped programs: no symbol table and no debug sections in any ELF file.
while IFS= read -r -d '' file; do
    [ "$(head -c 4 "$file" | od -An -tx1 | tr -d ' ')" = "7f454c46" ] || continue
    if readelf -SW "$file" | grep -qE ' \.(symtab|debug_[a-z_]+) '; then
        fail "${file#"$root"} is not stripped"
    else
        ok "${file#"$root"} is stripped"
    fi
done < <(find "$root" -type f -print0)

template="$root/usr/lib/pocket-lorvex/bundora"
entries=$("$root/usr/bin/bundora-pack" list "$template")
if [ "$(cut -d' ' -f3- <<<"$entries")" != "Trestel.exe" ]; then
    fail "the launcher template carries \"$entries\", not one entry \"Trestel.exe\""
else
    mkdir "$work/payload"
    "$root/usr/bin/bundora-pack" extract "$template" "$work/payload"
    if cmp -s "$work/payload/Trestel.exe" "$root/usr/bin/trestel"; then
        ok "the template's Trestel.exe is byte for byte /usr/bin/trestel"
    else
        fail "the template's Trestel.exe differs from /usr/bin/trestel"
    fi
fi

# 4. Manual pages that man shows without warnings, each naming its program.
for program in trestel bundora handheld-sim bundora-pack; do
    page="$root/usr/share/man/man1/$program.1.gz"
    if [ ! -f "$page" ]; then
        fail "no manual page $program(1)"
        continue
    fi
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 \
        >/dev/null)
    name=$(zcat "$page" | sed -n '/^\.SH NAME/{n;p;q}')
    if [ -n "$warnings" ]; then
        fail "man warns about $program(1): $warnings"
    elif [[ "$name" != "$program \\- "* ]]; then
        fail "$program(1) names \"$name\""
    else
        ok "$program(1): $name"
    fi
done

# 6. AppStream metainfo: valid, pointing at the desktop entry, with the package's MIME types.
mime_xml="$root/usr/share/mime/packages/pocket-lorvex-modules.xml"
mime_types=$(grep -o '<mime-type type="[^"]*"' "$mime_xml" | cut -d'"' -f2 | sort)
metainfo=$(ls "$root"/usr/share/metainfo/*.metainfo.xml 2>/dev/null | head -n 1 || true)
if [ -z "$metainfo" ]; then
    fail "no metainfo in /usr/share/metainfo"
else
    if command -v appstreamcli >/dev/null; then
        if appstreamcli validate --no-net "$metainfo" >"$work/appstream" 2>&1; then
            ok "appstreamcli validate --no-net passes"
        else
            fail "appstreamcli validate --no-net:"
            cat "$work/appstream"
        fi
    else
        skipped+=(appstreamcli)
    fi
    desktop_id=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo")
    desktop="$root/usr/share/applications/$desktop_id"
    if [ -z "$desktop_id" ] || [ ! -f "$desktop" ]; then
        fail "the metainfo's desktop entry \"$desktop_id\" is not in the package"
    else
        ok "the metainfo launches $desktop_id"
        desktop_types=$(sed -n 's/^MimeType=//p' "$desktop" | tr ';' '\n' | sed '/^$/d' | sort)
        [ "$desktop_types" = "$mime_types" ] ||
            fail "the desktop entry's MIME types differ from the definitions"
    fi
    metainfo_types=$(sed -n 's:.*<mediatype>\(.*\)</mediatype>.*:\1:p' "$metainfo" | sort)
    if [ "$metainfo_types" = "$mime_types" ]; then
        ok "the metainfo provides the $(wc -l <<<"$mime_types") module MIME types"
    else
        fail "the metainfo provides \"$metainfo_types\", the definitions hold \"$mime_types\""
    fi
    grep -q '<screenshot type="default">' "$metainfo" || fail "the metainfo has no screenshot"
    version=$(dpkg-deb -f "$deb" Version)
    if grep -qE "<release version=\"$version\" date=\"[0-9]{4}-[0-9]{2}-[0-9]{2}\"/>" "$metainfo"
    then
        ok "the metainfo's release is the package's version $version"
    else
        fail "the metainfo holds no release $version with a YYYY-MM-DD date"
    fi
fi

# 7. MIME definitions: a generic icon for every type, no claim on *.map.
types=$(grep -c '<mime-type ' "$mime_xml" || true)
icons=$(grep -c '<generic-icon name="[^"]\+"/>' "$mime_xml" || true)
if [ "$types" -gt 0 ] && [ "$types" = "$icons" ]; then
    ok "each of the $types MIME types has a generic icon"
else
    fail "$types MIME types, $icons generic icons"
fi
if grep -qi 'pattern="\*\.map"' "$mime_xml"; then
    fail "the MIME definitions claim *.map files"
else
    ok "no claim on *.map files"
fi

if [ $failed -ne 0 ]; then
    exit 1
fi
if [ ${#skipped[@]} -gt 0 ]; then
    echo "skipped, not installed: ${skipped[*]}"
    exit 77
fi
echo "the package passes every check"
