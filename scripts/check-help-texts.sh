#!/usr/bin/env bash
# Checks that texts written apart from hwds's own help name what the help
# names: every subcommand (as "hwds NAME"), every long option of the program
# and of each subcommand, and every exit status (in a manual page, an entry
# of its EXIT STATUS section; in a text, a line "  N  meaning"). The help is
# the one source: a subcommand, option or status added there fails this
# check until each text names it too.
# Usage: scripts/check-help-texts.sh HWDS_PROGRAM TEXT...
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 HWDS_PROGRAM TEXT..." >&2; exit 2; }
hwds=$1
shift

# The lines of a help section, from its heading to the next blank line.
section() {
    awk -v heading="$1" '$0 == heading { inside = 1; next } inside && /^$/ { exit } inside { print }'
}
# The long options of a help text, --help aside.
long_options() {
    section "Options:" | sed -n 's/^  \(-[a-zA-Z],\)\{0,1\}\(--[a-z][a-z0-9-]*\).*/\2/p' | grep -vx -- --help || true
}

help=$("$hwds" --help)
mapfile -t subcommands < <(printf '%s\n' "$help" | section "Subcommands:" | sed -n 's/^  \([a-z][a-z-]*\)  .*/\1/p')
mapfile -t statuses < <(printf '%s\n' "$help" | section "Exit status:" | sed -n 's/^  \([0-9][0-9]*\)  .*/\1/p')
options=$(printf '%s\n' "$help" | long_options)
for subcommand in "${subcommands[@]}"; do
    options+=$'\n'$("$hwds" "$subcommand" --help | long_options)
done
mapfile -t options < <(printf '%s\n' "$options" | grep . | sort -u)
if [ ${#subcommands[@]} -eq 0 ] || [ ${#statuses[@]} -eq 0 ] || [ ${#options[@]} -eq 0 ]; then
    echo "check-help-texts: found no subcommand, option or exit status in $hwds --help" >&2
    exit 1
fi

missing=0
for text in "$@"; do
    # Line ends and a manual page's escaped hyphens as a reader sees them.
    plain=$(tr -d '\r' <"$text" | sed 's/\\-/-/g')
    lack() {
        echo "check-help-texts: $text does not name $1" >&2
        missing=1
    }
    for subcommand in "${subcommands[@]}"; do
        grep -Eq "(^|[^a-z-])hwds $subcommand([^a-z-]|\$)" <<<"$plain" || lack "hwds $subcommand"
    done
    for option in "${options[@]}"; do
        grep -Eq -- "(^|[^a-z-])$option([^a-z0-9-]|\$)" <<<"$plain" || lack "$option"
    done
    for status in "${statuses[@]}"; do
        case $text in
            *.[1-9])
                printf '%s\n' "$plain" | awk -v s=".B $status" '/^\.SH/ { inside = ($0 == ".SH EXIT STATUS") }
                    inside && $0 == s { found = 1 } END { exit !found }' || lack "exit status $status"
                ;;
            *) grep -Eq "^ +$status  [^ ]" <<<"$plain" || lack "exit status $status" ;;
        esac
    done
done
[ "$missing" -eq 0 ] || exit 1
echo "== $*: ${#subcommands[@]} subcommands, ${#options[@]} options, ${#statuses[@]} exit statuses of hwds --help"
