#!/bin/sh
# Starts the panel from a copy of its folder that the user owns. The panel and
# its tools keep their working files in EXE/ beside the panel's executable,
# and the installed folder belongs to root, so each user gets a copy under
# their data folder, refreshed whenever an installed file differs from it.
set -eu

here=$(dirname "$(readlink -f "$0")")
installed=$(readlink -f "$here/../lib/zenta-panel")
data=${XDG_DATA_HOME:-}
case $data in
/*) ;;
*) data=$HOME/.local/share ;;
esac
copy=$data/zenta-panel

part=
trap '[ -z "$part" ] || rm -f "$part"' EXIT
trap 'exit 1' HUP INT TERM

cd "$installed"
newline='
'
IFS=$newline
for f in $(find . -type f); do
    f=${f#./}
    if ! cmp -s "$f" "$copy/$f"; then
        mkdir -p "$(dirname "$copy/$f")"
        part=$copy/$f.part$$
        # Written whole and synced before it replaces the old one; a panel
        # already running keeps the file it has open.
        cp "$f" "$part"
        sync "$part"
        mv -f "$part" "$copy/$f"
        part=
    fi
done
unset IFS
cd - >/dev/null

exec "$copy/zenta-panel" "$@"
