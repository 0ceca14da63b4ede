#!/usr/bin/env bash
# Builds the Debian package from an existing build folder, unpacks it into a
# temporary root and runs what it installed from there: zenta-sim --version,
# the panel's --version through its start script, one compile through the
# installed Vorlag. Then lintian, which must find no errors.
#
#   scripts/check-package.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
source_dir=$(pwd)

(cd "$build" && cpack -G DEB >/dev/null)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$(ls "$build"/zenta-panel_"$version"-*.deb)

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "package check: $*" >&2; exit 1; }

dpkg-deb -x "$deb" "$root"
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
echo "depends: $(dpkg-deb -f "$deb" Depends)"

out=$("$root/usr/bin/zenta-sim" --version)
[ "$out" = "zenta-sim $version" ] || fail "zenta-sim --version said: $out"

home=$root/home
mkdir -p "$home"
out=$(HOME="$home" XDG_DATA_HOME= QT_QPA_PLATFORM=offscreen "$root/usr/bin/zenta-panel" --version)
[ "$out" = "zenta-panel $version" ] || fail "zenta-panel --version said: $out"

# The compile runs where the panel would run it: the copy the start script made.
exe=$home/.local/share/zenta-panel/EXE
cmp "$root/usr/lib/zenta-panel/EXE/Vorlag" "$exe/Vorlag" || fail "the panel's copy of Vorlag differs"
cp "$root/usr/share/doc/zenta-panel/examples/back_and_forth.prg" "$exe/Program.prg"
printf 'MOD:ZENTA-QLX\r\nOPE:COMPILE\r\nFIL:Program.prg\r\n' >"$exe/vorlag_setup.txt"
(cd / && "$exe/Vorlag") || fail "Vorlag failed: $(cat "$exe/CompileOut.txt")"
head -n 1 "$exe/CompileOut.txt" | grep -q '^COMPILE OK' || fail "CompileOut.txt: $(head -n 2 "$exe/CompileOut.txt")"

# Nothing installed may point back at the build or the source tree.
if grep -rlF -e "$build" -e "$source_dir" "$root/usr"; then
    fail "the files above refer to $build or $source_dir"
fi
readelf -d "$root"/usr/bin/zenta-sim "$root"/usr/lib/zenta-panel/zenta-panel "$root"/usr/lib/zenta-panel/*.so \
    "$root"/usr/lib/zenta-panel/EXE/* | grep -E 'RPATH|RUNPATH' && fail "an installed binary carries a library path"

desktop-file-validate "$root/usr/share/applications/zenta-panel.desktop"
lintian --fail-on error "$deb"
echo "package check passed"
