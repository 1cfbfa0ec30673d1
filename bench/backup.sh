#!/usr/bin/env bash
# Packing speed, size and memory of bi.exe (under Wine) against native packers and a plain copy.
#
# 1. A real MariaDB data directory (bench/realdb.sh): bi.exe a at -m2 in both formats, -m5
#    and -m0, and native gzip -6, zstd -3 -T0, 7zz zip -mx1 and -mx5 and tar on the same tree,
#    each the best of BENCH_ROUNDS runs with the page cache warm. Prints each output's size
#    as a share of the data and the throughput (MB = 10^6 bytes of data per second), then
#    extracts the -m2 archive with bi.exe x and checks it against the tree. Goals: -m2 no
#    larger than gzip -6 and at least as fast as 7zz -mx1; -m5 no larger than 7zz -mx5; x at
#    least 300 MB/s of output.
# 2. About 1 GiB of random data in four files, and 3. about 20,000 small random files: bi.exe a
#    -m2 against Wine's xcopy of the same tree. Goals: 0.9x the copy's speed or better for the
#    large files (incompressible data is recognised and stored at copy speed), 1.5x for the
#    small ones.
# Peak memory of every bi.exe run, less what Wine itself takes (the peak of a bi.exe run that
# only prints its usage): goal under 64 MiB.
#
# Usage: bench/backup.sh (BENCH_PREBUILT, BENCH_DATA_MB: see bench/common.sh)
#   BENCH_ROUNDS=N    runs per packer (default 2)
#   BENCH_SETS="realdb large small"  which of the three to run
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
source "$ROOT/bench/common.sh"

APT_PACKAGES+=(gzip zstd 7zip tar)
ROUNDS=${BENCH_ROUNDS:-2}
SETS=${BENCH_SETS:-realdb large small}

WORK="$WINEPREFIX/drive_c/bench"
WIN_WORK='C:\bench'
prepare_bench "$WORK"
rm -rf "$WORK"
mkdir -p "$WORK"

verdict() { [ "$(calc "$1" 0)" = 1 ] && echo met || echo "NOT met"; }

# Runs one command and prints its seconds; its peak RSS in KiB is then in $WORK/time.txt.
measure() {
  local start end
  sync
  start=$(now)
  /usr/bin/time -f '%M' -o "$WORK/time.txt" "$@" >"$WORK/run.log" 2>&1 </dev/null ||
    { echo "failed: $* ($(tail -n 3 "$WORK/run.log"))" >&2; exit 1; }
  end=$(now)
  calc "$end - $start" 3
}
peak_kb() { tail -n 1 "$WORK/time.txt"; }

# The first Wine process after warming still loads more than later ones do.
wine "$BIN/bi.exe" >/dev/null 2>&1 </dev/null || true
measure wine "$BIN/bi.exe" >/dev/null || true
WINE_KB=$(peak_kb)

declare -A SECONDS_OF SIZE_OF PEAK_OF
# best_of LABEL OUTPUT COMMAND...: the best time of ROUNDS runs, the output's size and, for
# bi.exe, its peak memory above Wine's own.
best_of() {
  local label=$1 output=$2 best= t
  shift 2
  for _ in $(seq "$ROUNDS"); do
    rm -f "$output"
    t=$(measure "$@")
    [ -s "$output" ] || { echo "$label wrote no output" >&2; exit 1; }
    if [ -z "$best" ] || [ "$(calc "$t < $best" 0)" = 1 ]; then best=$t; fi
    if [ "$(basename "$1")" = wine ]; then
      local kb=$(( $(peak_kb) - WINE_KB ))
      [ "$kb" -gt "${PEAK_OF[$label]:-0}" ] && PEAK_OF[$label]=$kb
    fi
  done
  SECONDS_OF[$label]=$best
  SIZE_OF[$label]=$(stat -c %s "$output")
}

# --- 1. The real data directory ----------------------------------------------------------------
if [[ " $SETS " == *" realdb "* ]]; then
  ensure_realdb
  DATA_BYTES=$(tree_bytes "$REALDB")
  PARENT=$(dirname "$REALDB")
  WIN_DATA="Z:${REALDB//\//\\}"
  R="$WORK/realdb"
  mkdir -p "$R"
  # Warm the page cache for everyone alike.
  tar cf - -C "$PARENT" Data | cat >/dev/null

  echo "Packing $(tree_files "$REALDB") files, $(calc "$DATA_BYTES / 1e6" 1) MB of a MariaDB data directory (best of $ROUNDS)"
  best_of "bi -m2 (RAR 2.9)" "$R/m2.rar" wine "$BIN/bi.exe" a -ep1 -inul -m2 "$WIN_WORK\\realdb\\m2.rar" "$WIN_DATA"
  best_of "bi -m2 -ma5 (RAR 5.0)" "$R/m2-ma5.rar" wine "$BIN/bi.exe" a -ep1 -inul -m2 -ma5 "$WIN_WORK\\realdb\\m2-ma5.rar" "$WIN_DATA"
  best_of "bi -m5 (RAR 2.9)" "$R/m5.rar" wine "$BIN/bi.exe" a -ep1 -inul -m5 "$WIN_WORK\\realdb\\m5.rar" "$WIN_DATA"
  best_of "bi -m0 (RAR 2.9)" "$R/m0.rar" wine "$BIN/bi.exe" a -ep1 -inul -m0 "$WIN_WORK\\realdb\\m0.rar" "$WIN_DATA"
  best_of "gzip -6" "$R/data.tar.gz" bash -c "tar cf - -C '$PARENT' Data | gzip -6 > '$R/data.tar.gz'"
  best_of "zstd -3 -T0" "$R/data.tar.zst" bash -c "tar cf - -C '$PARENT' Data | zstd -3 -T0 -q -o '$R/data.tar.zst'"
  best_of "7zz zip -mx1" "$R/mx1.zip" bash -c "cd '$PARENT' && 7zz a -tzip -mx1 '$R/mx1.zip' Data"
  best_of "7zz zip -mx5" "$R/mx5.zip" bash -c "cd '$PARENT' && 7zz a -tzip -mx5 '$R/mx5.zip' Data"
  best_of "tar cf" "$R/data.tar" tar cf "$R/data.tar" -C "$PARENT" Data

  printf '  %-22s %10s %8s %8s %10s %12s\n' packer "size MB" share "smaller" "MB/s" "peak MiB"
  for label in "bi -m2 (RAR 2.9)" "bi -m2 -ma5 (RAR 5.0)" "bi -m5 (RAR 2.9)" "bi -m0 (RAR 2.9)" \
               "gzip -6" "zstd -3 -T0" "7zz zip -mx1" "7zz zip -mx5" "tar cf"; do
    size=${SIZE_OF[$label]}
    peak=${PEAK_OF[$label]:-}
    printf '  %-22s %10.1f %7.1f%% %7.2fx %10.1f %12s\n' "$label" "$(calc "$size / 1e6" 1)" \
      "$(calc "100 * $size / $DATA_BYTES" 1)" "$(calc "$DATA_BYTES / $size")" \
      "$(calc "$DATA_BYTES / 1e6 / ${SECONDS_OF[$label]}" 1)" \
      "$([ -n "$peak" ] && calc "$peak / 1024" 1 || echo -)"
  done
  for format in "RAR 2.9" "RAR 5.0"; do
    [ "$format" = "RAR 2.9" ] && label="bi -m2 (RAR 2.9)" || label="bi -m2 -ma5 (RAR 5.0)"
    echo "  $label no larger than gzip -6: $(verdict "${SIZE_OF[$label]} <= ${SIZE_OF[gzip -6]}")" \
         "   at least as fast as 7zz zip -mx1: $(verdict "${SECONDS_OF[$label]} <= ${SECONDS_OF[7zz zip -mx1]}")"
  done
  echo "  bi -m5 no larger than 7zz zip -mx5: $(verdict "${SIZE_OF[bi -m5 (RAR 2.9)]} <= ${SIZE_OF[7zz zip -mx5]}")"

  # Extraction of the archive a nightly backup makes.
  best=
  for _ in $(seq "$ROUNDS"); do
    rm -rf "$R/out"
    mkdir -p "$R/out"
    t=$(measure wine "$BIN/bi.exe" x -inul "$WIN_WORK\\realdb\\m2.rar" "$WIN_WORK\\realdb\\out")
    diff -rq "$REALDB" "$R/out/Data" >/dev/null || { echo "bi.exe x gave other content" >&2; exit 1; }
    if [ -z "$best" ] || [ "$(calc "$t < $best" 0)" = 1 ]; then best=$t; fi
  done
  speed=$(calc "$DATA_BYTES / 1e6 / $best" 1)
  echo "  bi.exe x of the -m2 archive: $speed MB/s of output   goal >= 300 MB/s: $(verdict "$speed >= 300")"
  rm -rf "$R"
fi

# --- 2. and 3. Random data against a copy -------------------------------------------------------
make_large() {
  mkdir -p "$WORK/large/Data"
  for i in 1 2 3 4; do
    head -c $((256 * 1024 * 1024)) /dev/urandom > "$WORK/large/Data/ibdata$i"
  done
}
make_small() {
  mkdir -p "$WORK/small/Data"
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
}

for set in large small; do
  [[ " $SETS " == *" $set "* ]] || continue
  "make_$set"
  size=$(tree_bytes "$WORK/$set/Data")
  best_of "$set bi" "$WORK/$set/out.rar" wine "$BIN/bi.exe" a -ep1 -inul -m2 "$WIN_WORK\\$set\\out.rar" "$WIN_WORK\\$set\\Data"
  best_copy=
  for _ in $(seq "$ROUNDS"); do
    rm -rf "$WORK/$set/Copy"
    t=$(measure wine cmd /c xcopy /E /I /Q /Y "$WIN_WORK\\$set\\Data" "$WIN_WORK\\$set\\Copy")
    if [ -z "$best_copy" ] || [ "$(calc "$t < $best_copy" 0)" = 1 ]; then best_copy=$t; fi
  done
  ratio=$(calc "$best_copy / ${SECONDS_OF[$set bi]}")
  [ "$set" = large ] && goal=0.9 || goal=1.5
  printf '%-6s %8.1f MiB  bi.exe a -m2: %7.1f MiB/s  xcopy: %7.1f MiB/s  ratio %sx (goal >= %s: %s)  peak %.1f MiB  archive/data %.4f\n' \
    "$set" "$(calc "$size / 1048576" 1)" "$(calc "$size / 1048576 / ${SECONDS_OF[$set bi]}" 1)" \
    "$(calc "$size / 1048576 / $best_copy" 1)" "$ratio" "$goal" "$(verdict "$ratio >= $goal")" \
    "$(calc "${PEAK_OF[$set bi]} / 1024" 1)" "$(calc "${SIZE_OF[$set bi]} / $size" 4)"
  rm -rf "$WORK/$set"
done

for label in "${!PEAK_OF[@]}"; do
  [ "${PEAK_OF[$label]}" -lt $((64 * 1024)) ] || echo "Peak memory goal NOT met by $label: $(calc "${PEAK_OF[$label]} / 1024" 1) MiB"
done
echo "Peak memory of every bi.exe run above Wine's own $(calc "$WINE_KB / 1024" 1) MiB; goal < 64 MiB"
