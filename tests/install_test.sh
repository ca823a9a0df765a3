#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what lands there:
# both programs, a valid desktop entry naming an installed icon.
# Usage: tests/install_test.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
fail=0
for f in bin/quelmar bin/quelmar-cli share/applications/quelmar.desktop \
         share/icons/hicolor/256x256/apps/quelmar.png; do
  if [ ! -e "$prefix/$f" ]; then echo "missing: $f"; fail=1; fi
done
for f in bin/quelmar bin/quelmar-cli; do
  [ -x "$prefix/$f" ] || { echo "not executable: $f"; fail=1; }
done
desktop=$prefix/share/applications/quelmar.desktop
if [ -e "$desktop" ]; then
  desktop-file-validate "$desktop" || fail=1
  grep -qx 'Exec=quelmar' "$desktop" || { echo "Exec is not quelmar"; fail=1; }
  grep -qx 'Icon=quelmar' "$desktop" || { echo "Icon is not quelmar"; fail=1; }
fi
"$prefix/bin/quelmar-cli" --version >/dev/null || { echo "quelmar-cli --version failed"; fail=1; }
[ $fail -eq 0 ] && echo "install layout: OK"
exit $fail
