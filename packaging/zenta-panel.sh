#!/bin/sh
# Starts the panel from a copy of its folder that the user owns. The panel and
# its tools keep their working files in EXE/ beside the panel's executable,
# and the installed folder belongs to root, so each user gets a copy under
# their data folder that mirrors the installed files: refreshed whenever an
# installed file differs from it, and rid of what is no longer installed.
# What the panel and the tools made in EXE/ (programs, setup and result
# files) is the user's and stays. File names are never expanded or split, and
# names holding a line break are left alone.
set -euf

here=$(dirname "$(readlink -f "$0")")
installed=$(readlink -f "$here/../lib/zenta-panel")
data=${XDG_DATA_HOME:-}
case $data in
/*) ;;
*) data=$HOME/.local/share ;;
esac
copy=$data/zenta-panel
# The installed files the copy was last refreshed from, one a line: in EXE/
# only what an older version installed may go, never what the user put there.
manifest=$data/zenta-panel.installed

part=
trap '[ -z "$part" ] || rm -f "$part"' EXIT
trap 'exit 1' HUP INT TERM

# The writer of one of our new files, named "<file>.<pid>-<n>.part" as the
# panel and the tools name theirs (or "<file>.part<pid>", as older start
# scripts did); nothing for any other name.
writer() {
    case $1 in
    *.[0-9]*-[0-9]*.part) ;;
    *.part[0-9]*)
        pid=${1##*.part}
        case $pid in
        *[!0-9]*) ;;
        *) echo "$pid" ;;
        esac
        return 0
        ;;
    *) return 0 ;;
    esac
    pid=${1%-*}
    pid=${pid##*.}
    count=${1##*-}
    count=${count%.part}
    case $pid$count in
    *[!0-9]*) return 0 ;;
    esac
    echo "$pid"
}

newline='
'
IFS=$newline
start=$PWD

cd "$installed"
for f in $(find . -type f ! -path "*$newline*"); do
    f=${f#./}
    if ! cmp -s "$f" "$copy/$f"; then
        mkdir -p "$(dirname "$copy/$f")"
        part=$copy/$f.$$-1.part
        # Written whole and synced before it replaces the old one; a panel
        # already running keeps the file it has open.
        cp "$f" "$part"
        sync "$part"
        mv -f "$part" "$copy/$f"
        part=
    fi
done

# What the copy holds beyond the installed files: a new file whose writer
# died is left over from a crash; one whose writer lives (another start, a
# save) is still being written. In EXE/ everything else is the user's work
# unless an older version installed it; any other file was installed by an
# older version.
was_installed() {
    [ -f "$manifest" ] && grep -Fxq -- "$1" "$manifest"
}
cd "$copy"
for f in $(find . ! -type d ! -path "*$newline*"); do
    f=${f#./}
    [ ! -e "$installed/$f" ] || continue
    pid=$(writer "$f")
    if [ -n "$pid" ]; then
        [ -d "/proc/$pid" ] || rm -f -- "$f"
        continue
    fi
    case $f in
    EXE/*) was_installed "$f" || continue ;;
    esac
    rm -f -- "$f"
done
# Folders that only an older version had, now empty.
for d in $(find . -depth -mindepth 1 -type d ! -path "*$newline*"); do
    d=${d#./}
    case $d in
    EXE | EXE/*) continue ;;
    esac
    [ -d "$installed/$d" ] || rmdir -- "$d" 2>/dev/null || :
done
# What is installed now, for the next refresh.
(cd "$installed" && find . -type f ! -path "*$newline*" | sed 's|^\./||') >"$manifest.$$-1.part"
part=$manifest.$$-1.part
mv -f "$part" "$manifest"
part=
unset IFS
cd "$start"

exec "$copy/zenta-panel" "$@"
