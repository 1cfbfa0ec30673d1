#!/usr/bin/env bash
# Builds the programs, shows the button gallery under Wine and saves its screenshot.
# Usage (as root on Debian 12): scripts/gallery-shot.sh [output.png]   (default docs/gallery.png)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

OUT="${1:-$ROOT/docs/gallery.png}"
prepare
wine "$BIN/gallery.exe" >/dev/null 2>&1 </dev/null &
GALLERY_PID=$!
# The window is up once X knows it by its title; then give the buttons a moment to paint.
for _ in $(seq 100); do
  xwininfo -root -tree 2>/dev/null | grep -q 'gwButtons_H gallery' && break
  sleep 0.2
done
sleep 2
geometry=$(xwininfo -root -tree | grep 'gwButtons_H gallery' | head -1 | grep -o '[0-9]*x[0-9]*+[0-9-]*+[0-9-]*' | head -1)
import -window root -crop "$geometry" +repage "$OUT"
kill "$GALLERY_PID" 2>/dev/null || true
wait "$GALLERY_PID" 2>/dev/null || true
echo "Saved $OUT"
