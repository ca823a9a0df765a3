#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what lands there:
# the three programs, a valid desktop entry naming an installed icon in each
# of its sizes, the licence and changelog, bash completion and, where
# help2man made them, the manual pages.
# Usage: tests/install_test.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
fail=0
for f in bin/quelmar bin/quelmar-cli bin/quelmar-sim share/applications/quelmar.desktop \
         share/icons/hicolor/256x256/apps/quelmar.png share/icons/hicolor/48x48/apps/quelmar.png \
         share/icons/hicolor/scalable/apps/quelmar.svg share/doc/quelmar/copyright \
         share/doc/quelmar/changelog.gz share/bash-completion/completions/quelmar-cli; do
  if [ ! -e "$prefix/$f" ]; then echo "missing: $f"; fail=1; fi
done
for f in bin/quelmar bin/quelmar-cli bin/quelmar-sim; do
  [ -x "$prefix/$f" ] || { echo "not executable: $f"; fail=1; }
done
if [ -d "$build/man" ]; then
  for f in quelmar quelmar-cli quelmar-sim; do
    [ -e "$prefix/share/man/man1/$f.1.gz" ] || { echo "missing: share/man/man1/$f.1.gz"; fail=1; }
  done
fi
desktop=$prefix/share/applications/quelmar.desktop
if [ -e "$desktop" ]; then
  desktop-file-validate "$desktop" || fail=1
  grep -qx 'Exec=quelmar' "$desktop" || { echo "Exec is not quelmar"; fail=1; }
  grep -qx 'Icon=quelmar' "$desktop" || { echo "Icon is not quelmar"; fail=1; }
fi
for f in quelmar quelmar-cli quelmar-sim; do
  "$prefix/bin/$f" --version >/dev/null || { echo "$f --version failed"; fail=1; }
done
[ $fail -eq 0 ] && echo "install layout: OK"
exit $fail
