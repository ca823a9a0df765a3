#!/usr/bin/env bash
# Renders the icon's PNGs (48 and 256 pixels, for the hicolor theme and the
# window icon) from resources/quelmar.svg. Run after changing the SVG and
# commit the PNGs with it.
set -euo pipefail
cd "$(dirname "$0")/../resources"
for size in 48 256; do
  out=quelmar-$size.png
  [ "$size" = 256 ] && out=quelmar.png
  rsvg-convert --width "$size" --height "$size" --output "$out" quelmar.svg
done
