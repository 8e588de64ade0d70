#!/usr/bin/env bash
# Checks the installer's packages without installing them (no root needed).
#
# A .deb: lintian reports no errors or warnings; every ELF file is stripped and hardened
# (hardening-check: PIE, stack protector, fortify where fortifiable functions are used, RELRO,
# bind-now); the launcher template carries exactly "Trestel.exe", byte for byte /usr/bin/trestel;
# each program has a manual page that man shows without complaints; the AppStream metainfo
# validates and names the desktop entry and the MIME types that the package defines; each MIME
# type has a generic icon, the launcher's five module endings have a type and none claims *.map;
# the README and docs/ are the documentation.
#
# Usage: check-package.sh DEB
#        check-package.sh --build BUILD_DIR
#            makes the .deb with CPack twice, in a temporary folder: both must be byte for byte the
#            same; then checks it.
#        check-package.sh --source SOURCE_DIR BUILD_DIR
#            builds the source package and the binary package from a clean copy of SOURCE_DIR's
#            files (those git knows, or all but build folders) with dpkg-buildpackage, without
#            running the tests (DEB_BUILD_OPTIONS=nocheck), in BUILD_DIR/package-source; lintian
#            --pedantic --info on the .dsc, .changes and .deb reports no error or warning, and
#            every other tag is explained in docs/packaging.md; the binary package made again
#            from the same build (debian/rules binary) is byte for byte the same; the .deb passes
#            the checks above; a CPack .deb of BUILD_DIR is the same package (name, version,
#            relations, description, files and their modes, no maintainer scripts).
#            The full build with tests is `dpkg-buildpackage -us -uc`.
# Exit status: 0 all passed, 1 a check failed, 77 the rest passed but a tool was missing (lintian,
# appstreamcli, hardening-check, or for --source dpkg-buildpackage's build dependencies), so
# those checks were skipped.
set -euo pipefail

work=$(mktemp -d /tmp/check-package.XXXXXX)
trap 'rm -rf "$work"' EXIT

failed=0
skipped=()
ok() { echo "ok: $*"; }
fail() {
    echo "FAILED: $*"
    failed=1
}
finish() {
    if [ $failed -ne 0 ]; then
        exit 1
    fi
    if [ ${#skipped[@]} -gt 0 ]; then
        echo "skipped, not installed: ${skipped[*]}"
        exit 77
    fi
    echo "the package passes every check"
    exit 0
}

# A CPack .deb of the build folder $1, made in the folder $2.
cpack_deb() {
    local config
    config="$(realpath "$1")/CPackConfig.cmake"
    mkdir -p "$2"
    (cd "$2" && cpack -G DEB --config "$config" -B "$2" >"$2/cpack.log") ||
        { cat "$2/cpack.log"; return 1; }
    ls "$2"/*.deb
}

# What must be equal in two .debs of the same package: control fields but the installed size,
# relations as sets, the control members, and the files with their modes and owners.
package_summary() {
    local field
    for field in Package Version Architecture Section Priority Maintainer Homepage Description
    do
        echo "$field: $(dpkg-deb -f "$1" "$field")"
    done
    for field in Depends Recommends Suggests Conflicts Breaks Provides Replaces; do
        echo "$field: $(dpkg-deb -f "$1" "$field" | tr ',' '\n' | sed 's/^ *//;/^$/d' | sort |
            paste -sd, -)"
    done
    echo "control members: $(dpkg-deb --ctrl-tarfile "$1" | tar -t | sed 's:^\./::;/^$/d' | sort |
        paste -sd' ' -)"
    dpkg-deb -c "$1" | awk '$6 != "./" { print $1, $2, $6, $7, $8 }' | sort -k3
}

source_dir=
build_dir=
case "${1:-}" in
    --build)
        build_dir=${2:?usage: check-package.sh --build BUILD_DIR}
        deb=$(cpack_deb "$build_dir" "$work/cpack1") || exit 1
        again=$(cpack_deb "$build_dir" "$work/cpack2") || exit 1
        if cmp -s "$deb" "$again"; then
            ok "two CPack runs give byte-identical packages ($(basename "$deb"))"
        else
            fail "two CPack runs give different packages"
            diff <(dpkg-deb -c "$deb") <(dpkg-deb -c "$again") | head -n 20 || true
        fi
        ;;
    --source)
        source_dir=$(realpath "${2:?usage: check-package.sh --source SOURCE_DIR BUILD_DIR}")
        build_dir=$(realpath "${3:?usage: check-package.sh --source SOURCE_DIR BUILD_DIR}")
        ;;
    *)
        deb=$(realpath "${1:?usage: check-package.sh DEB}")
        ;;
esac

if [ -n "$source_dir" ]; then
    if ! command -v dpkg-buildpackage >/dev/null || ! command -v dh >/dev/null; then
        echo "skipped, not installed: dpkg-buildpackage or debhelper"
        exit 77
    fi
    if ! (cd "$source_dir" && dpkg-checkbuilddeps -Pnocheck) 2>"$work/builddeps"; then
        cat "$work/builddeps"
        echo "skipped: build dependencies missing (tools/setup-deps.sh installs them)"
        exit 77
    fi
    # In the build folder, so that a compiler cache can serve the next run from the same paths.
    top="$build_dir/package-source"
    package=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Source)
    version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version)
    tree="$top/$package-$version"
    rm -rf "$top"
    mkdir -p "$tree"
    # A clean checkout: the files git knows (committed or not), else everything but build output.
    if git -C "$source_dir" rev-parse --show-toplevel >/dev/null 2>&1; then
        (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
            while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
            tar -c --null --no-recursion -T -) | tar -x -C "$tree"
    else
        tar -c -C "$source_dir" --exclude='./build*' --exclude='./obj-*' --exclude=./.git . |
            tar -x -C "$tree"
    fi
    started=$(date +%s)
    if (cd "$tree" && env -u SOURCE_DATE_EPOCH \
        DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
        dpkg-buildpackage -us -uc -Pnocheck) >"$top/build.log" 2>&1; then
        ok "dpkg-buildpackage -us -uc (nocheck) built the packages in $(($(date +%s) - started)) s"
    else
        tail -n 60 "$top/build.log"
        fail "dpkg-buildpackage failed: $top/build.log"
        finish
    fi
    arch=$(dpkg --print-architecture)
    changes="$top/${package}_${version}_$arch.changes"
    deb="$top/${package}_${version}_$arch.deb"
    debs=$(sed -n 's/^ [0-9a-f]\{32\} [0-9]* [^ ]* [^ ]* \(.*\.deb\)$/\1/p' "$changes")
    if [ "$debs" = "$(basename "$deb")" ]; then
        ok "the source package builds one binary package: $debs"
    else
        fail "the .changes lists the binary packages \"$debs\""
    fi

    # lintian at its most talkative: no error or warning, every other tag explained.
    if command -v lintian >/dev/null; then
        lintian --pedantic --info --fail-on error,warning "$changes" >"$work/lintian" 2>&1 ||
            fail "lintian --pedantic --info on the .changes:"
        grep -v '^running with root privileges' "$work/lintian" | sed 's/^/  /' || true
        grep -q '^[EW]: ' "$work/lintian" && fail "lintian reports errors or warnings"
        for tag in $(sed -n 's/^[IPX]: [^ ]*: \([^ ]*\).*/\1/p' "$work/lintian" | sort -u); do
            grep -q "\`$tag\`" "$source_dir/docs/packaging.md" ||
                fail "lintian tag $tag is not explained in docs/packaging.md"
        done
        [ $failed -eq 0 ] &&
            ok "lintian --pedantic --info: no errors or warnings, every other tag explained"
    else
        skipped+=(lintian)
    fi

    # The binary package again from the same build: the same bytes.
    cp "$deb" "$work/first.deb"
    if (cd "$tree" && env -u SOURCE_DATE_EPOCH debian/rules binary) >"$top/binary-again.log" 2>&1
    then
        if cmp -s "$deb" "$work/first.deb"; then
            ok "the binary package made twice is byte for byte the same"
        else
            fail "the binary package made twice differs"
            diff <(dpkg-deb -c "$work/first.deb") <(dpkg-deb -c "$deb") | head -n 20 || true
        fi
    else
        tail -n 30 "$top/binary-again.log"
        fail "debian/rules binary failed"
    fi

    # The CPack package of the build folder is the same package.
    if cpack=$(cpack_deb "$build_dir" "$work/cpack"); then
        if diff <(package_summary "$deb") <(package_summary "$cpack") >"$work/same"; then
            ok "CPack makes the same package: control data, relations, files and modes"
        else
            fail "the CPack package differs from the Debian build's (< Debian, > CPack):"
            cat "$work/same"
        fi
    else
        fail "CPack failed"
    fi
    # The build tree is large and only a cache: keep the packages and logs.
    rm -rf "$tree"
fi

root="$work/root"
dpkg-deb -x "$deb" "$root"

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

# 3. Stripped and hardened programs: no symbol table and no debug sections in any ELF file, and
# every hardening feature (fortify: where the file calls fortifiable functions at all).
command -v hardening-check >/dev/null || skipped+=(hardening-check)
# Files in which fortify has nothing to check: every fortifiable call has a size that the
# compiler can't know, so all stay unchecked and hardening-check finds no protected call. Each
# with its reason:
# - the SynCE bridge formats no text; its only such calls are memmove inside std::vector.
fortify_nothing_known=(/usr/lib/pocket-lorvex/devices/libtrestel-synce.so)
while IFS= read -r -d '' file; do
    [ "$(head -c 4 "$file" | od -An -tx1 | tr -d ' ')" = "7f454c46" ] || continue
    if readelf -SW "$file" | grep -qE ' \.(symtab|debug_[a-z_]+) '; then
        fail "${file#"$root"} is not stripped"
    else
        ok "${file#"$root"} is stripped"
    fi
    command -v hardening-check >/dev/null || continue
    hardening-check "$file" >"$work/hardening" 2>&1 || true
    accepted='yes|no, regular shared library \(ignored\)|unknown, no protectable libc functions used'
    fortify=fortify
    if [[ " ${fortify_nothing_known[*]} " == *" ${file#"$root"} "* ]]; then
        accepted+='|no, only unprotected functions found!'
        fortify="fortify: nothing of known size"
    fi
    missing=$(grep -E '^ (Position Independent Executable|Stack protected|Fortify Source functions|Read-only relocations|Immediate binding): ' "$work/hardening" |
        grep -vE ": ($accepted)" || true)
    if [ "$(grep -cE '^ (Position|Stack protected|Fortify|Read-only|Immediate)' "$work/hardening")" -ne 5 ]; then
        fail "hardening-check on ${file#"$root"}: $(cat "$work/hardening")"
    elif [ -n "$missing" ]; then
        fail "${file#"$root"} is not hardened:"$'\n'"$missing"
    else
        ok "${file#"$root"} is hardened (PIE, stack protector, $fortify, RELRO, bind-now)"
    fi
done < <(find "$root" -type f -print0)

# The documentation: the README and every page of docs/ as they are (uncompressed, so that the
# README's links hold), the copyright and the changelog.
doc="$root/usr/share/doc/$(dpkg-deb -f "$deb" Package)"
doc_files=(README.md copyright changelog.gz)
for page in "$(dirname "$0")"/../docs/*.md; do
    doc_files+=("docs/$(basename "$page")")
done
missing_docs=()
for file in "${doc_files[@]}"; do
    [ -f "$doc/$file" ] || missing_docs+=("$file")
done
if [ ${#missing_docs[@]} -eq 0 ]; then
    ok "the documentation: ${doc_files[*]}"
else
    fail "the documentation lacks ${missing_docs[*]}; it holds $(cd "$doc" && find . -type f |
        sort | paste -sd' ' -)"
fi

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
for ending in bbl brp cmt dct dev; do
    grep -q "<glob pattern=\"\\*\\.$ending\"" "$mime_xml" || fail "no MIME type for *.$ending"
done
if grep -qi 'pattern="\*\.map"' "$mime_xml"; then
    fail "the MIME definitions claim *.map files"
else
    ok "no claim on *.map files"
fi

finish
