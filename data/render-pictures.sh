#!/bin/sh
# Renders the PNG pictures from their SVG sources. The PNGs are committed, so
# this runs only after a drawing changed:  data/render-pictures.sh
# Needs rsvg-convert (Debian package librsvg2-bin).
set -eu
cd "$(dirname "$0")"
render() { rsvg-convert --width "$1" --height "$2" --output "$4" "$3"; }

# Small sizes have drawings of their own on the pixel grid; 22 is the middle
# 22 pixels of the 24-pixel drawing.
render 16 16 icons/vantelo-16.svg icons/vantelo-16.png
render 24 24 icons/vantelo-24.svg icons/vantelo-24.png
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
sed 's/viewBox="0 0 24 24"/viewBox="1 1 22 22"/; s/width="24" height="24"/width="22" height="22"/' \
  icons/vantelo-24.svg >"$tmp"
render 22 22 "$tmp" icons/vantelo-22.png
for size in 32 48 64 128 256; do
  render "$size" "$size" icons/vantelo.svg "icons/vantelo-$size.png"
done

render 49 49 icons/vantelo.svg pictures/about.png
render 39 44 pictures/bulb.svg pictures/bulb.png
render 48 48 icons/vantelo.svg "qovin help/vantelo.png"
