#!/bin/sh
# Writes the gzipped manual page OUT of PROGRAM, made by help2man from the program's own --help
# and --version, with the hand-written sections of INCLUDE. For each COMMAND given, the help of
# "PROGRAM COMMAND --help" becomes a subsection of COMMANDS; --commands takes every command that
# the "Commands:" list of "PROGRAM --help" names. The "Exit status:" list of the help becomes the
# section EXIT STATUS (help2man would make it a subsection of the section before it). The page is
# dated by the latest CHANGELOG entry, so that the same sources give the same page.
# Usage: make-manpage.sh OUT PROGRAM INCLUDE CHANGELOG [--commands | COMMAND...]
set -eu
out=$1 program=$2 include=$3 changelog=$4
shift 4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(dpkg-parsechangelog -l "$changelog" -S Timestamp)}
export SOURCE_DATE_EPOCH
export QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8

# A program that doesn't know --version would start its normal run instead: don't wait for it.
if ! timeout 20 "$program" --version >/dev/null 2>&1 </dev/null; then
    echo "make-manpage: \"$program --version\" failed; the page needs --help and --version" >&2
    exit 1
fi

# Joins the continuation lines of a command's "Usage:" line, so help2man reads one synopsis.
cat >"$work/join-usage.awk" <<'AWK'
BEGIN { usage = 1 }
NR == 1 { line = $0; next }
usage && /^ +\[/ { sub(/^ +/, " "); line = line $0; next }
usage { print line; usage = 0 }
{ print }
END { if (usage) print line }
AWK

if [ "${1:-}" = --commands ]; then
    set -- $("$program" --help | awk '/^Commands:$/ { on = 1; next } on && !/^  [a-z]/ { exit }
                                      on { print $1 }')
fi

commands=
if [ $# -gt 0 ]; then
    commands="--include=$work/commands.h2m"
    echo "[COMMANDS]" >"$work/commands.h2m"
    for command in "$@"; do
        wrapper="$work/$command"
        printf '#!/bin/sh\n"%s" %s "$@" | awk -f "%s"\n' "$program" "$command" \
            "$work/join-usage.awk" >"$wrapper"
        chmod +x "$wrapper"
        help2man --no-info --version-string=0 "$wrapper" >"$work/$command.1"
        sed -n '/^\.SH SYNOPSIS$/,$p' "$work/$command.1" |
            sed -e "s/^\\.SH SYNOPSIS\$/.SS \"$command\"/" -e 's/^\.SH DESCRIPTION$/.PP/' \
                >>"$work/commands.h2m"
    done
fi

help2man --no-info --include="$include" $commands "$program" >"$work/help2man.1"
sed 's/^\.SS "Exit status:"$/.SH "EXIT STATUS"/' "$work/help2man.1" >"$work/page.1"
if ! grep -q '^\.SH "EXIT STATUS"$' "$work/page.1"; then
    echo "make-manpage: \"$program --help\" has no \"Exit status:\" list" >&2
    exit 1
fi
gzip -9n <"$work/page.1" >"$out.part"
mv "$out.part" "$out"
