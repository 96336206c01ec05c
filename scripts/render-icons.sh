#!/usr/bin/env bash
# Renders packaging/icons/quorvel.svg into the PNG sizes of the hicolor theme, committed beside it.
# Needs rsvg-convert (librsvg2-bin); run it after changing the drawing.
set -euo pipefail
cd "$(dirname "$0")/../packaging/icons"
for size in 16 22 24 32 48 64 128 256 512; do
  rsvg-convert --width "$size" --height "$size" --keep-aspect-ratio quorvel.svg --output "quorvel-$size.png"
done
