#!/usr/bin/env bash
# The Debian package from end to end: built, checked by lintian (no error and no warning; a
# warning that had to stay would need an override with its reason, shipped in the package),
# installed with dpkg, used to convert the bundled example in a folder without vgmstub.bin
# (opmcast reads the installed player), every program's --version asked, its manual page and
# documentation found, and removed again without a trace. Installing needs root: anyone else
# gets the build and the lintian check only.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages lintian man-db
for page in man/*.1; do
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "$page: $warnings" >&2; exit 1; }
done
echo "manual pages: no warnings"
deb=$(bash scripts/package.sh | tail -n 1)
echo "built $deb"
lintian --fail-on error,warning "$deb" 2> >(grep -v "root privileges" >&2)
echo "lintian: no errors, no warnings"
if [ "$(id -u)" -ne 0 ]; then
    echo "not root: the package is not installed"
    exit 0
fi
if dpkg-query -W -f='${Status}' opmcast 2>/dev/null | grep -q "ok installed"; then
    echo "opmcast is installed on this machine already: leaving it alone" >&2
    exit 1
fi

work=$(mktemp -d)
cleanup() {
    rm -rf -- "$work"
    if dpkg-query -W -f='${Status}' opmcast 2>/dev/null | grep -q "ok installed"; then
        dpkg -r opmcast >/dev/null
    fi
}
trap cleanup EXIT

dpkg -i "$deb" >/dev/null
mapfile -t files < <(dpkg -L opmcast)

# The bundled example, converted by the installed program in a folder without vgmstub.bin
# (it reads the installed player and leaves no vgmstub.bin behind), comes out as the build
# tree's converter makes it with a copy of that player beside it.
cmake --build build-package --target make_example_vgm >/dev/null
build-package/make_example_vgm "$work/example.vgm"
(cd "$work" && /usr/bin/opmcast example)
[ ! -e "$work/vgmstub.bin" ] || { echo "opmcast made $work/vgmstub.bin" >&2; exit 1; }
mkdir "$work/reference"
cp "$work/example.vgm" /usr/share/opmcast/vgmstub.bin "$work/reference/"
(cd "$work/reference" && "$OLDPWD/build-package/bin/opmcast" example)
cmp "$work/example.x" "$work/reference/example.x"
echo "installed opmcast converted the example with the installed player ($(stat -c %s \
    "$work/example.x") bytes)"
/usr/bin/opmcast --help | grep -q "else /usr/share/opmcast/vgmstub.bin"
# The same for opmcast-full, which needs no vgmstub.bin.
mkdir "$work/full" "$work/full-reference"
/usr/bin/opmcast-full -q -o "$work/full" "$work/example.vgm"
build-package/bin/opmcast-full -q -o "$work/full-reference" "$work/example.vgm"
cmp "$work/full/example.x" "$work/full-reference/example.x"
echo "installed opmcast-full converted the example ($(stat -c %s "$work/full/example.x") bytes)"
for tool in opmcast opmcast-full opmdump opmfidelity opmpreview opmplay-sim; do
    [ "$("/usr/bin/$tool" --version)" = "$tool $(dpkg-query -W -f='${Version}' opmcast)" ]
done
[ "$(man -w opmcast)" = /usr/share/man/man1/opmcast.1.gz ]
echo "man -w opmcast: $(man -w opmcast)"
# The documentation: the README and docs/full-mode.md, which it points to, each as in the tree.
for doc in README.md docs/full-mode.md; do
    installed=/usr/share/doc/opmcast/$(basename "$doc").gz
    [ -f "$installed" ] || { echo "not installed: $installed" >&2; exit 1; }
    gzip -dc "$installed" | cmp -s - "$doc" || { echo "$installed is not $doc" >&2; exit 1; }
done
echo "documentation: README.md.gz and full-mode.md.gz in /usr/share/doc/opmcast"

dpkg -r opmcast >/dev/null
left=0
for path in "${files[@]}"; do
    [ "$path" = /. ] && continue
    if [ -f "$path" ] || { [ -d "$path" ] && [[ $path == */opmcast ]]; }; then
        echo "left behind: $path" >&2
        left=1
    fi
done
[ "$left" -eq 0 ]
echo "removed: nothing of the package is left"
