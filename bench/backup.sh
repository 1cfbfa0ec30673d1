#!/usr/bin/env bash
# Packing speed and memory of bi.exe against a plain file copy on the same platform (Wine).
# Two data directories: about 1 GiB in four large files, and about 20,000 small files.
# Prints the throughput of each, their ratio (goal: 0.9 or better) and bi.exe's peak memory
# (goal: under 64 MiB). Usage: bench/backup.sh [work folder inside the Wine prefix's C:]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

prepare

WORK="$WINEPREFIX/drive_c/bench"
WIN_WORK='C:\bench'
rm -rf "$WORK"
mkdir -p "$WORK/large/Data" "$WORK/small/Data"

echo "Making the data directories..."
for i in 1 2 3 4; do
  head -c $((256 * 1024 * 1024)) /dev/urandom > "$WORK/large/Data/ibdata$i"
done
python3 - "$WORK/small/Data" <<'PY'
import os, random, sys
root = sys.argv[1]
random.seed(7)
for d in range(100):
    folder = os.path.join(root, f"db{d:03}")
    os.makedirs(folder)
    for f in range(200):
        with open(os.path.join(folder, f"t{f:03}.MYD"), "wb") as out:
            out.write(os.urandom(random.randint(512, 8192)))
PY

now() { date +%s.%N; }
bytes_of() { du -sb "$1" | cut -f1; }

# Runs one measurement and prints its seconds; the command's peak RSS in KiB is then the
# last line of $WORK/time.txt.
measure() {
  local start end
  start=$(now)
  /usr/bin/time -f '%M' -o "$WORK/time.txt" "$@" >/dev/null 2>&1 </dev/null
  end=$(now)
  echo "$end - $start" | bc -l
}

report() {
  local name=$1 size=$2 pack=$3 copy=$4 peak=$5
  local mbs_pack mbs_copy ratio
  mbs_pack=$(echo "$size / 1048576 / $pack" | bc -l)
  mbs_copy=$(echo "$size / 1048576 / $copy" | bc -l)
  ratio=$(echo "$mbs_pack / $mbs_copy" | bc -l)
  printf '%-6s %8.1f MiB  bi.exe a: %7.1f MiB/s  copy: %7.1f MiB/s  ratio %.2f  bi peak RSS %.1f MiB\n' \
    "$name" "$(echo "$size / 1048576" | bc -l)" "$mbs_pack" "$mbs_copy" "$ratio" "$(echo "$peak / 1024" | bc -l)"
}

for set in large small; do
  size=$(bytes_of "$WORK/$set/Data")
  best_pack=999999 best_copy=999999 peak=0
  # Three rounds each, best time kept; the trees are in the page cache for both.
  for round in 1 2 3; do
    rm -f "$WORK/$set/out.rar"
    t=$(measure wine "$BIN/bi.exe" a -ep1 -inul -m2 "$WIN_WORK\\$set\\out.rar" "$WIN_WORK\\$set\\Data")
    [ -s "$WORK/$set/out.rar" ] || { echo "bi.exe produced no archive" >&2; exit 1; }
    best_pack=$(echo "if ($t < $best_pack) $t else $best_pack" | bc -l)
    peak_kb=$(tail -n 1 "$WORK/time.txt")
    if [ "$peak_kb" -gt "$peak" ]; then peak=$peak_kb; fi
    rm -rf "$WORK/$set/Copy"
    t=$(measure wine cmd /c xcopy /E /I /Q /Y "$WIN_WORK\\$set\\Data" "$WIN_WORK\\$set\\Copy")
    best_copy=$(echo "if ($t < $best_copy) $t else $best_copy" | bc -l)
  done
  report "$set" "$size" "$best_pack" "$best_copy" "$peak"
  rm -rf "$WORK/$set/Copy" "$WORK/$set/out.rar"
done
rm -rf "$WORK"
