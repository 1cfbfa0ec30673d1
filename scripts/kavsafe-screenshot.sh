#!/usr/bin/env bash
# Takes docs/kavsafe-window.png: the KavSafe window on a small demo root, shown in a Wine
# virtual desktop (where Wine draws the window frame itself) and cropped to the window.
# With "busy" it takes docs/kavsafe-busy.png instead: a backup started with the keyboard and
# slowed by the tests' stand-in archiver, caught with its progress bar part-way.
# Usage (as root on Debian 12): scripts/kavsafe-screenshot.sh [busy]. Safe to run again.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

prepare

DRIVE_C="$WINEPREFIX/drive_c"
SHOT="$DRIVE_C/QUOR 截图"
WIN_SHOT='C:\QUOR 截图'
rm -rf "$SHOT"
mkdir -p "$SHOT/Apache/bin" "$SHOT/MySQL/Data/quor" "$SHOT/备份"
cp "$BIN/KavSafe.exe" "$SHOT/"
cp "$BIN/bi.exe" "$SHOT/Apache/bin/"
printf 'rows\n' > "$SHOT/MySQL/Data/quor/t.MYD"
printf '[QuorKAV]\r\nBakPath=%s\\备份\\\r\n' "$WIN_SHOT" | iconv -f UTF-8 -t GBK > "$SHOT/settings.ini"
for name in Data-20261205-020000 Data-20261206-020000 Data-20261207-020000 Data-20261207-143012; do
  printf 'QUOR' > "$SHOT/备份/$name.quordb"
done

OUT="$ROOT/docs/kavsafe-window.png"
RAW="$BUILD/kavsafe-screen.png"
if [ "${1:-}" = busy ]; then
  command -v xdotool >/dev/null || apt-get install -y xdotool >/dev/null
  cmake --build "$BUILD" --target SpyArchiver >/dev/null
  # The stand-in moves the progress in 60 steps of 0.3 s, then hands over to the real archiver.
  cp "$BUILD/tests/SpyArchiver.exe" "$SHOT/Apache/bin/bi.exe"
  cp "$BIN/bi.exe" "$SHOT/Apache/bin/bi-real.exe"
  OUT="$ROOT/docs/kavsafe-busy.png"
  export QUOR_SPY_PROGRESS_STEPS=60
fi
wine explorer /desktop=KavSafeShot,640x400 "$WIN_SHOT\\KavSafe.exe" >/dev/null 2>&1 </dev/null &
sleep 6
if [ "${1:-}" = busy ]; then
  # Tab to 备份, Enter asks, Enter answers 是 (the default); then wait for a part-way bar.
  xdotool key Tab && sleep 0.5 && xdotool key Return && sleep 1.5 && xdotool key Return
  sleep 8
fi
# The virtual desktop lies at the top left of the X screen; trimming its plain background
# leaves the window.
import -window root "$RAW"
convert "$RAW" -crop 640x400+0+0 +repage -trim +repage "$OUT"
rm -f "$RAW"
echo "Wrote $OUT ($(identify -format '%wx%h' "$OUT"))"
