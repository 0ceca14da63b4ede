#!/usr/bin/env bash
# Builds the Debian package from an existing build folder, unpacks it into a
# temporary root and runs what it installed from there: zenta-sim --version,
# the panel's --version through its start script, a compile through the
# installed Vorlag, a download and an upload through the installed Merrow
# against the installed simulator, and zentactl through its link on the path;
# and that the udev rule for the USB drivers is installed where udev reads it.
# Then lintian, which must find no errors.
#
#   scripts/check-package.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
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

# The udev rule that lets the logged-in user (and plugdev) open the drivers:
# where udev reads it, numbered before 73, where the seat turns the uaccess
# tag into access, with its three lines, and every line of the KEY op "value"
# form udev reads (a rule it cannot parse is skipped without a word).
rule=$root/usr/lib/udev/rules.d/70-zenta-kdr.rules
[ -f "$rule" ] || fail "the udev rule is not installed as /usr/lib/udev/rules.d/70-zenta-kdr.rules"
[ "$(stat -c %a "$rule")" = 644 ] || fail "the udev rule has mode $(stat -c %a "$rule"), not 644"
for line in 'SUBSYSTEM=="hidraw", ATTRS{product}=="*CFG*", TAG+="uaccess"' \
    'SUBSYSTEM=="hidraw", ATTRS{product}=="*CFG*", MODE="0660", GROUP="plugdev"' \
    'ACTION!="remove", ATTRS{product}=="*CFG*", ENV{ID_MM_DEVICE_IGNORE}="1"'; do
    grep -qxF "$line" "$rule" || fail "the udev rule lacks the line: $line"
done
bad=$(grep -vE '^(#.*)?$' "$rule" |
    grep -vE '^[A-Z_]+(\{[A-Za-z_]+\})?(==|!=|=|\+=)"[^"]*"(, [A-Z_]+(\{[A-Za-z_]+\})?(==|!=|=|\+=)"[^"]*")*$' || true)
[ -z "$bad" ] || fail "udev cannot read these lines of the rule: $bad"
for other in "$root"/usr/lib/udev/rules.d/*; do
    n=$(basename "$other" | cut -d- -f1)
    [ "$n" -lt 73 ] 2>/dev/null || fail "the udev rule $(basename "$other") comes too late for the seat's access (73)"
done
echo "udev rule: $(grep -cvE '^(#.*)?$' "$rule") lines in $(basename "$rule")"

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

# The installed loader, from the same copy, sends that program to the installed
# simulator through the installed device library, and reads it back.
export TOLLANCOM_DIR=$root/devices
"$root/usr/bin/zenta-sim" --serial pkg1 --name CFG07 >"$root/sim.log" 2>&1 &
sim=$!
trap '"$root/usr/bin/zenta-sim" ctl pkg1 quit >/dev/null 2>&1 || kill "$sim"; wait "$sim"; rm -rf "$root"' EXIT
wait_for_simulator "$sim" "$root/sim.log" || fail "the installed zenta-sim did not start: $(cat "$root/sim.log")"
printf 'LIN: 1275\r\nCOM:USB\r\nPOR:1\r\nBAU:9600\r\nDEV:07\r\nOPE:DOWNLOAD\r\nFIL:CompileOut.txt\r\nMOD:ZENTA-KDR-V3\r\n' \
    >"$exe/merrow_setup.txt"
(cd / && "$exe/Merrow") || fail "Merrow failed: $(cat "$exe/DownloadOut.txt")"
head -n 1 "$exe/DownloadOut.txt" | grep -q '^DOWNLOAD OK' || fail "DownloadOut.txt: $(cat "$exe/DownloadOut.txt")"
# And back: upload, then decompile to program text.
printf 'LIN:1275\r\nCOM:USB\r\nPOR:1\r\nBAU:9600\r\nDEV:07\r\nOPE:UPLOAD\r\nFIL:UploadOut.txt\r\nMOD:ZENTA-KDR-V3\r\n' \
    >"$exe/merrow_setup.txt"
(cd / && "$exe/Merrow") || fail "Merrow upload failed: $(cat "$exe/UploadOut.txt")"
printf 'MOD:ZENTA-QLX\r\nOPE:DECOMPILE\r\nFIL:UploadOut.txt\r\n' >"$exe/vorlag_setup.txt"
(cd / && "$exe/Vorlag") || fail "Vorlag decompile failed: $(cat "$exe/DecompileOut.prg")"
grep -q '^ *X4000' "$exe/DecompileOut.prg" || fail "the program read back lacks its move: $(cat "$exe/DecompileOut.prg")"
# zentactl, from the path, finds the installed library and the same device.
out=$("$root/usr/bin/zentactl" --version)
[ "$out" = "zentactl $version" ] || fail "zentactl --version said: $out"
out=$(cd / && "$root/usr/bin/zentactl" -d CFG07 program download "$root/usr/share/doc/zenta-panel/examples/back_and_forth.prg") \
    || fail "zentactl program download failed"
out=$("$root/usr/bin/zentactl" -d CFG07 program upload) || fail "zentactl program upload failed"
echo "$out" | grep -q '^ *X4000' || fail "zentactl's upload lacks the move: $out"
"$root/usr/bin/zenta-sim" ctl pkg1 quit >/dev/null
wait "$sim"
trap 'rm -rf "$root"' EXIT

# Nothing installed may point back at the build or the source tree.
if grep -rlF -e "$build" -e "$source_dir" "$root/usr"; then
    fail "the files above refer to $build or $source_dir"
fi
readelf -d "$root"/usr/bin/zenta-sim "$root"/usr/lib/zenta-panel/zenta-panel "$root"/usr/lib/zenta-panel/zentactl \
    "$root"/usr/lib/zenta-panel/*.so \
    "$root"/usr/lib/zenta-panel/EXE/* | grep -E 'RPATH|RUNPATH' && fail "an installed binary carries a library path"

desktop-file-validate "$root/usr/share/applications/zenta-panel.desktop"
lintian --fail-on error "$deb"
echo "package check passed"
