#!/usr/bin/env bash
# The Debian package: builds it from a build folder with CPack, checks it with
# lintian (errors fail, warnings are shown), unpacks it into a scratch root
# and runs the programs from there.
#   scripts/check-package.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "$1")

echo "== cpack -G DEB"
rm -f "$build"/voriridod_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/voriridod_*.deb)
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'

echo "== lintian $(basename "$deb")"
lintian --fail-on error --tag-display-limit 0 "$deb"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
for file in usr/bin/voriridod usr/bin/hwds usr/bin/tuvak-sim \
            usr/share/man/man1/voriridod.1.gz usr/share/man/man1/hwds.1.gz \
            usr/share/man/man1/tuvak-sim.1.gz usr/lib/udev/rules.d/60-voriridod-ftdi.rules \
            usr/share/doc/voriridod/copyright usr/share/doc/voriridod/changelog.gz; do
    [ -e "$root/$file" ] || { echo "missing from the package: $file" >&2; exit 1; }
done

echo "== the unpacked programs run"
expect() {  # expect WORDS COMMAND...: the command succeeds and says WORDS
    local words=$1 out
    shift
    out=$("$@")
    grep -qF -- "$words" <<<"$out" || { echo "$* did not say: $words" >&2; exit 1; }
}
expect "voriridod /L" "$root/usr/bin/voriridod" /?
expect "Exit status:" "$root/usr/bin/hwds" --help
expect "--registry FILE" "$root/usr/bin/tuvak-sim" --help
echo "== the package is sound"
