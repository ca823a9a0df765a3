#!/usr/bin/env bash
# Checks the Debian package: its name and control fields, its file list
# (every file the package should hold and nothing else, so nothing from the
# build tree slips in), the icons' sizes, the desktop entry, the manual
# pages, lintian (no errors; its output is kept beside the package as
# lintian.txt), and that each program in it prints the project's version.
# With --install it also installs the package with apt, starts the
# installed programs, purges the package and checks nothing is left.
# Usage: scripts/check-deb.sh [--install] DEB
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
install=0
if [ "${1:-}" = "--install" ]; then install=1; shift; fi
deb=$(realpath "$1")

fail=0
bad() { echo "check-deb: $*" >&2; fail=1; }

version=$(sed -n 's/^project(quelmar VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "check-deb: no version in CMakeLists.txt" >&2; exit 1; }
[ "$(basename "$deb")" = "quelmar_${version}_amd64.deb" ] || bad "file name $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
for pair in "Package=quelmar" "Version=$version" "Architecture=amd64" "Section=electronics"; do
  [ "$(field "${pair%%=*}")" = "${pair#*=}" ] || bad "${pair%%=*} is '$(field "${pair%%=*}")'"
done
depends=$(field Depends)
for dep in fonts-dejavu-core libc6 libqt6widgets6 libstdc++6; do
  tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/ .*//' | grep -qxF "$dep" || bad "Depends lacks $dep: $depends"
done
[ "$(field Description | wc -l)" -ge 5 ] || bad "the description has no long text"

# Exactly these files (directories aside).
expected=$(sort <<EOF_LIST
./usr/bin/quelmar
./usr/bin/quelmar-cli
./usr/bin/quelmar-sim
./usr/share/applications/quelmar.desktop
./usr/share/bash-completion/completions/quelmar-cli
./usr/share/doc/quelmar/changelog.gz
./usr/share/doc/quelmar/copyright
./usr/share/icons/hicolor/256x256/apps/quelmar.png
./usr/share/icons/hicolor/48x48/apps/quelmar.png
./usr/share/icons/hicolor/scalable/apps/quelmar.svg
./usr/share/man/man1/quelmar-cli.1.gz
./usr/share/man/man1/quelmar-sim.1.gz
./usr/share/man/man1/quelmar.1.gz
EOF_LIST
)
actual=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort)
if [ "$actual" != "$expected" ]; then
  bad "file list differs (- expected, + in the package):"
  diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' | sed 's/^</-/; s/^>/+/' >&2 || true
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp/root"
r=$tmp/root
for size in 48 256; do
  file "$r/usr/share/icons/hicolor/${size}x$size/apps/quelmar.png" |
    grep -q "PNG image data, $size x $size," || bad "the ${size}x$size icon is not $size pixels"
done
grep -q '<svg' "$r/usr/share/icons/hicolor/scalable/apps/quelmar.svg" || bad "the SVG icon is no SVG"
desktop-file-validate "$r/usr/share/applications/quelmar.desktop" || bad "desktop entry invalid"
for page in quelmar quelmar-cli quelmar-sim; do
  text=$(zcat "$r/usr/share/man/man1/$page.1.gz" | LC_ALL=C.UTF-8 MANWIDTH=80 man -l - 2>"$tmp/man.err") ||
    bad "man page $page does not render"
  [ ! -s "$tmp/man.err" ] || bad "man page $page: $(cat "$tmp/man.err")"
  grep -q "^NAME" <<<"$text" && grep -q "$page $version" <<<"$text" ||
    bad "man page $page lacks its name or version"
done
zcat "$r/usr/share/man/man1/quelmar-cli.1.gz" | grep -q '^\.SS "flash"' ||
  bad "the quelmar-cli man page lacks the flash command"
zcat "$r/usr/share/doc/quelmar/changelog.gz" | head -1 | grep -q "^quelmar ($version) " ||
  bad "changelog.gz does not start with $version"
head -1 "$r/usr/share/doc/quelmar/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' &&
  grep -q '^License: Expat$' "$r/usr/share/doc/quelmar/copyright" || bad "copyright not in Debian's format"
bash -n "$r/usr/share/bash-completion/completions/quelmar-cli" || bad "completion script does not parse"

# version: "<program> <version>" or, from a checkout off the release tag,
# "<program> <version>+<git describe>".
check_version() {
  local program=$1 out
  out=$("$2" --version 2>&1) || { bad "$program --version failed: $out"; return; }
  [[ $out == "$program $version" || $out == "$program $version+"* ]] ||
    bad "$program --version says '$out', not $version"
}
for p in quelmar quelmar-cli quelmar-sim; do
  check_version "$p" "$r/usr/bin/$p"
done

lintian_out=$(dirname "$deb")/lintian.txt
lintian --pedantic --display-info "$deb" >"$lintian_out" 2>&1 || true
grep -v '^running with root privileges' "$lintian_out" || true
if grep -q '^E: ' "$lintian_out"; then bad "lintian reports errors"; fi

if [ $install -eq 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -q "$deb" >"$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log" >&2; bad "apt install failed"; }
  dpkg -L quelmar >"$tmp/paths"
  for p in quelmar quelmar-cli quelmar-sim; do
    [ "$(command -v "$p")" = "/usr/bin/$p" ] || bad "$p is not /usr/bin/$p on PATH"
    check_version "$p" "/usr/bin/$p"
  done
  /usr/bin/quelmar-sim --help | grep -q '^Usage: quelmar-sim' || bad "quelmar-sim --help failed"
  # The desktop program on the offscreen platform: it must come up and
  # keep running (its window open) until stopped.
  set +e
  (cd "$tmp" && QUELMAR_PORT_DIR=$tmp QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$tmp \
    timeout -s TERM 3 /usr/bin/quelmar >"$tmp/gui.log" 2>&1)
  rc=$?
  set -e
  [ $rc -eq 124 ] || { cat "$tmp/gui.log" >&2; bad "quelmar ended by itself (status $rc)"; }
  apt-get purge -y -q quelmar >>"$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log" >&2; bad "apt purge failed"; }
  # Files the package had are gone, and so are its own folders.
  while IFS= read -r path; do
    if [[ $path == /usr/share/doc/quelmar || ! -d $path ]] && [ -e "$path" ]; then
      bad "left after purge: $path"
    fi
  done <"$tmp/paths"
  ! dpkg-query -W quelmar >/dev/null 2>&1 || bad "dpkg still knows quelmar"
fi

[ $fail -eq 0 ] && echo "check-deb: $(basename "$deb") OK ($(stat -c %s "$deb") bytes)"
exit $fail
