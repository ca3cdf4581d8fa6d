#!/usr/bin/env bash
# Renders the program's icon, dist/icons/hicolor/scalable/apps/zelmar-mqtt-client.svg,
# as PNGs at the usual theme sizes beside it. Run it after changing the SVG and
# commit the PNGs: the build embeds them and installs them as they are, so it
# needs no SVG renderer (nor Qt's SVG plug-in at run time).
#
# Needs rsvg-convert (Debian: librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")/../dist/icons/hicolor"

command -v rsvg-convert >/dev/null || {
    echo "make-icons: rsvg-convert is missing; apt-get install librsvg2-bin" >&2
    exit 2
}
for size in 16 22 24 32 48 64 128 256; do
    mkdir -p "${size}x${size}/apps"
    rsvg-convert --width "$size" --height "$size" --format png \
        --output "${size}x${size}/apps/zelmar-mqtt-client.png" scalable/apps/zelmar-mqtt-client.svg
done
