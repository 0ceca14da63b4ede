#!/bin/sh
# Installs the build into a temporary prefix and checks the layout and the
# start script: the panel runs from a per-user copy that is made on first
# start, refreshed when an installed file changes, rid of what is no longer
# installed, and keeps the user's own working files; the tools compile in
# that copy.
#
#   install_layout.sh BUILD_DIR VERSION
set -eu
build=$1
version=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$tmp/usr" >/dev/null
private=$tmp/usr/lib/zenta-panel

for f in bin/zenta-panel bin/zenta-sim bin/zentactl lib/zenta-panel/zenta-panel lib/zenta-panel/zentactl \
         lib/zenta-panel/libTollanCom.so lib/zenta-panel/EXE/Vorlag share/applications/zenta-panel.desktop \
         share/icons/hicolor/scalable/apps/zenta-panel.svg share/doc/zenta-panel/copyright \
         share/doc/zenta-panel/changelog.Debian.gz share/man/man1/zenta-panel.1.gz share/man/man1/zenta-sim.1.gz \
         share/man/man1/zentactl.1.gz share/bash-completion/completions/zentactl share/doc/zenta-panel/zentactl.md; do
    [ -f "$tmp/usr/$f" ] || fail "$f is not installed"
done
# zentactl on the path is a relative link to the one beside the library.
[ "$(readlink "$tmp/usr/bin/zentactl")" = ../lib/zenta-panel/zentactl ] || fail "bin/zentactl is not the link"
out=$("$tmp/usr/bin/zentactl" --version)
[ "$out" = "zentactl $version" ] || fail "zentactl --version said: $out"
# Every tool in EXE/ has its manual page, and every page names this version.
for tool in "$private"/EXE/*; do
    [ -f "$tmp/usr/share/man/man1/$(basename "$tool").1.gz" ] || fail "no manual page for $(basename "$tool")"
done
for page in "$tmp"/usr/share/man/man1/*.gz; do
    gzip -dc "$page" | head -n 1 | grep -q "zenta-panel $version" || fail "$page does not name version $version"
done
# Every page names the device library's variables in its ENVIRONMENT section.
for page in "$tmp"/usr/share/man/man1/*.gz; do
    environment=$(gzip -dc "$page" | sed -n '/^\.SH ENVIRONMENT/,/^\.SH /p')
    for variable in TOLLANCOM_DIR TOLLANCOM_SYSFS TOLLANCOM_DEVROOT TOLLANCOM_HID_IDS; do
        printf '%s\n' "$environment" | grep -qx "\.B $variable" ||
            fail "$(basename "$page") does not name $variable in its ENVIRONMENT section"
    done
done
# The udev rule that opens the USB drivers to their user, where udev reads it
# under the package's /usr.
[ -f "$tmp/usr/lib/udev/rules.d/70-zenta-kdr.rules" ] || fail "lib/udev/rules.d/70-zenta-kdr.rules is not installed"
# The desktop entry starts what is installed, with the icon that is installed.
exec_name=$(sed -n 's/^Exec=//p' "$tmp/usr/share/applications/zenta-panel.desktop")
icon_name=$(sed -n 's/^Icon=//p' "$tmp/usr/share/applications/zenta-panel.desktop")
[ -x "$tmp/usr/bin/$exec_name" ] || fail "desktop entry runs $exec_name, which is not in bin/"
[ -f "$tmp/usr/share/icons/hicolor/scalable/apps/$icon_name.svg" ] || fail "no icon $icon_name"
if command -v desktop-file-validate >/dev/null 2>&1; then
    desktop-file-validate "$tmp/usr/share/applications/zenta-panel.desktop"
fi

# First start makes the copy, identical to the installed folder.
home=$tmp/home
mkdir -p "$home"
out=$(env -u DISPLAY -u QT_QPA_PLATFORM HOME="$home" XDG_DATA_HOME= "$tmp/usr/bin/zenta-panel" --version)
[ "$out" = "zenta-panel $version" ] || fail "the start script's --version said: $out"
copy=$home/.local/share/zenta-panel
diff -r "$private" "$copy" || fail "the copy differs from the installed folder"

# A user's working file survives and a changed installed file is taken over,
# with no part-written file left behind.
printf 'X100\r\n' >"$copy/EXE/Program.prg"
printf 'changed' >>"$private/libTollanCom.so"
env -u DISPLAY -u QT_QPA_PLATFORM HOME="$home" XDG_DATA_HOME=relative "$tmp/usr/bin/zenta-panel" --version >/dev/null
cmp "$private/libTollanCom.so" "$copy/libTollanCom.so" || fail "the copy was not refreshed"
[ "$(cat "$copy/EXE/Program.prg")" = "$(printf 'X100\r')" ] || fail "the user's Program.prg was touched"
[ -z "$(find "$copy" -name '*.part*')" ] || fail "part-written files left in the copy"

# An upgrade leaves the copy a mirror of what is installed: whatever an older
# version installed and this one does not goes, and so do new files whose
# writer died in a crash; what the user made in EXE/ stays, and so does a new
# file whose writer still lives.
dead=$(($(cat /proc/sys/kernel/pid_max) + 1))  # no process ever has this number
# An older version that also installed EXE/Oldtool.
printf '#!/bin/sh\n' >"$private/EXE/Oldtool"
chmod +x "$private/EXE/Oldtool"
env -u DISPLAY -u QT_QPA_PLATFORM HOME="$home" XDG_DATA_HOME= "$tmp/usr/bin/zenta-panel" --version >/dev/null
[ -x "$copy/EXE/Oldtool" ] || fail "the copy did not take the older version's tool"
rm "$private/EXE/Merrow" "$private/EXE/Oldtool"
mkdir -p "$copy/plugins" "$copy/EXE/mine"
printf 'old' >"$copy/libOld.so"
printf 'old' >"$copy/plugins/libold.so"
printf 'cut' >"$copy/EXE/Vorlag.part$dead"  # what an older start script left
chmod +x "$copy/EXE/Vorlag.part$dead"
# The user's own files in EXE/, one executable as a copy from a USB stick
# makes it, and names a careless script would take for options or patterns.
printf 'X1\r\n' >"$copy/EXE/machine.prg"
chmod 755 "$copy/EXE/machine.prg"
printf 'mine' >"$copy/EXE/-n"
printf 'mine' >"$copy/EXE/*"
printf 'old' >"$copy/-n"
printf 'cut' >"$copy/EXE/CompileOut.txt.$dead-1.part"
printf 'cut' >"$copy/zenta-panel.$dead-2.part"
printf 'COMPILE OK 0 lines\r\n' >"$copy/EXE/CompileOut.txt"
printf 'mine' >"$copy/EXE/mine/notes.txt"
printf 'half' >"$copy/EXE/Program.prg.$$-1.part"
env -u DISPLAY -u QT_QPA_PLATFORM HOME="$home" XDG_DATA_HOME= "$tmp/usr/bin/zenta-panel" --version >/dev/null
for f in libOld.so plugins EXE/Merrow EXE/Oldtool "EXE/Vorlag.part$dead" "EXE/CompileOut.txt.$dead-1.part" \
         "zenta-panel.$dead-2.part" -n; do
    [ ! -e "$copy/$f" ] || fail "$f is still in the copy"
done
[ "$(cat "$copy/EXE/CompileOut.txt")" = "$(printf 'COMPILE OK 0 lines\r')" ] || fail "the user's CompileOut.txt was touched"
[ "$(cat "$copy/EXE/mine/notes.txt")" = mine ] || fail "the user's EXE/mine/notes.txt was touched"
for f in machine.prg -n '*'; do
    [ -f "$copy/EXE/$f" ] || fail "the user's EXE/$f was removed"
done
rm -- "$copy/EXE/machine.prg" "$copy/EXE/-n" "$copy/EXE/*"
[ "$(cat "$copy/EXE/Program.prg.$$-1.part")" = half ] || fail "a living writer's new file was removed"
rm -r "$copy/EXE/mine" "$copy/EXE/CompileOut.txt" "$copy/EXE/Program.prg" "$copy/EXE/Program.prg.$$-1.part"
diff -r "$private" "$copy" || fail "the copy does not mirror the installed folder"

# An absolute data folder takes the copy instead.
env -u DISPLAY -u QT_QPA_PLATFORM HOME="$home" XDG_DATA_HOME="$tmp/data" "$tmp/usr/bin/zenta-panel" --version >/dev/null
diff -r "$private" "$tmp/data/zenta-panel" || fail "no copy under XDG_DATA_HOME"

# The copied compiler compiles an installed example in its own folder,
# whatever the current directory.
cp "$tmp/usr/share/doc/zenta-panel/examples/back_and_forth.prg" "$copy/EXE/Program.prg"
printf 'MOD:ZENTA-QLX\r\nOPE:COMPILE\r\nFIL:Program.prg\r\n' >"$copy/EXE/vorlag_setup.txt"
(cd / && "$copy/EXE/Vorlag") || fail "Vorlag failed: $(cat "$copy/EXE/CompileOut.txt")"
head -n 1 "$copy/EXE/CompileOut.txt" | grep -q '^COMPILE OK' || fail "CompileOut.txt: $(head -n 2 "$copy/EXE/CompileOut.txt")"
echo "install layout OK"
