#!/usr/bin/env bash
# Restore speed of bi.exe against bsdtar and unar. A real MariaDB data directory
# (bench/realdb.sh) is packed by bi.exe a -m2, the backup job's method, into a RAR 2.9 archive
# and with -ma5 into a RAR 5.0 archive, and each archive is extracted by bi.exe under Wine and
# by native bsdtar and unar. Prints, per archive and reader, the best of three runs in seconds
# and MB/s of output (1 MB = 10^6 bytes), and bi.exe against the goals: at least 1.5 times as
# fast as the faster of bsdtar and unar, and at least 300 MB/s. Every extraction is compared
# with the source tree; a run with wrong output does not count.
#
# Usage: bench/restore.sh (BENCH_PREBUILT, BENCH_DATA_MB: see bench/common.sh)
#   BENCH_ROUNDS=N    runs per reader and archive (default 3)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
source "$ROOT/bench/common.sh"

ROUNDS=${BENCH_ROUNDS:-3}

WORK="$WINEPREFIX/drive_c/bench-restore"
WIN_WORK='C:\bench-restore'
prepare_bench "$WORK"

ensure_realdb
DATA="$REALDB"
OUT_BYTES=$(tree_bytes "$DATA")
OUT_FILES=$(tree_files "$DATA")

# --- The archives ------------------------------------------------------------------------------
rm -rf "$WORK"
# One folder per archive: unar takes archives whose names differ only in digits for volumes
# of one set.
mkdir -p "$WORK/rar5" "$WORK/rar29"
echo "Packing the data directory with bi.exe a -m2, in both formats..."
wine "$BIN/bi.exe" a -ep1 -inul -m2 "$WIN_WORK\\rar29\\Data.rar" "Z:${DATA//\//\\}" </dev/null >/dev/null 2>&1 ||
  { echo "bi.exe a failed" >&2; exit 1; }
wine "$BIN/bi.exe" a -ep1 -inul -m2 -ma5 "$WIN_WORK\\rar5\\Data.rar" "Z:${DATA//\//\\}" </dev/null >/dev/null 2>&1 ||
  { echo "bi.exe a -ma5 failed" >&2; exit 1; }

# --- Extraction --------------------------------------------------------------------------------
# The first Wine process after warming still loads more than later ones do.
wine "$BIN/bi.exe" >/dev/null 2>&1 </dev/null || true

# Runs one extraction of archive $1 by reader $2 into $WORK/out and prints its seconds, or
# "failed" (nonzero exit, with the reason in $WORK/reason) or "wrong" (output differs).
extract_once() {
  local kind=$1 reader=$2 start end rc=0
  rm -rf "$WORK/out"
  mkdir -p "$WORK/out"
  sync
  start=$(now)
  case $reader in
    bi.exe) wine "$BIN/bi.exe" x -v -inul "$WIN_WORK\\$kind\\Data.rar" "$WIN_WORK\\out" \
              >"$WORK/reader.log" 2>&1 </dev/null || rc=$? ;;
    bsdtar) bsdtar -xf "$WORK/$kind/Data.rar" -C "$WORK/out" >"$WORK/reader.log" 2>&1 </dev/null || rc=$? ;;
    unar) unar -q -f -D -nr -o "$WORK/out" "$WORK/$kind/Data.rar" >"$WORK/reader.log" 2>&1 </dev/null || rc=$? ;;
  esac
  end=$(now)
  if [ "$rc" -ne 0 ]; then
    if [ "$reader" = bi.exe ]; then
      # -inul kept it quiet; once more without it, for the message.
      rm -rf "$WORK/out"
      wine "$BIN/bi.exe" x -v "$WIN_WORK\\$kind\\Data.rar" "$WIN_WORK\\out" \
        >"$WORK/reader.log" 2>&1 </dev/null || true
    fi
    echo "exit $rc: $(grep -v '^\s*$' "$WORK/reader.log" | tail -n 1 | tr -d '\r')" >"$WORK/reason"
    echo failed
  elif [ "$(ls -A "$WORK/out")" != Data ]; then
    echo "the destination holds \"$(ls -A "$WORK/out" | head -n 3 | tr '\n' ' ')\" instead of Data" >"$WORK/reason"
    echo wrong
  elif ! diff -rq "$DATA" "$WORK/out/Data" >"$WORK/reason" 2>&1; then
    echo wrong
  else
    calc "$end - $start" 3
  fi
}

declare -A BEST
echo
echo "Restore of $OUT_FILES files, $(calc "$OUT_BYTES / 1e6" 1) MB (best of $ROUNDS run(s); MB/s of output, 1 MB = 10^6 bytes)"
for kind in rar5 rar29; do
  arc_bytes=$(stat -c %s "$WORK/$kind/Data.rar")
  [ $kind = rar5 ] && title="RAR 5.0" || title="RAR 2.9"
  echo
  echo "$title archive: $(calc "$arc_bytes / 1e6" 1) MB, ratio $(calc "$OUT_BYTES / $arc_bytes")"
  declare -A status=([bi.exe]=ok [bsdtar]=ok [unar]=ok)
  for round in $(seq "$ROUNDS"); do
    for reader in bi.exe bsdtar unar; do
      [ "${status[$reader]}" = ok ] || continue
      t=$(extract_once "$kind" "$reader")
      case $t in
        failed) status[$reader]="failed ($(cat "$WORK/reason" 2>/dev/null || true))" ;;
        wrong) status[$reader]="WRONG OUTPUT in run $round: $(head -n 1 "$WORK/reason" 2>/dev/null || true)" ;;
        *) best=${BEST[$kind.$reader]:-}
           if [ -z "$best" ] || [ "$(calc "$t < $best" 0)" = 1 ]; then BEST[$kind.$reader]=$t; fi ;;
      esac
    done
  done
  rm -rf "$WORK/out"

  for reader in bi.exe bsdtar unar; do
    if [ "${status[$reader]}" = ok ]; then
      t=${BEST[$kind.$reader]}
      printf '  %-7s %8.2f s %9.1f MB/s\n' "$reader" "$t" "$(calc "$OUT_BYTES / 1e6 / $t" 1)"
    else
      printf '  %-7s %s\n' "$reader" "${status[$reader]}"
      unset "BEST[$kind.$reader]"
    fi
  done

  other=
  for reader in bsdtar unar; do
    t=${BEST[$kind.$reader]:-}
    if [ -n "$t" ] && { [ -z "$other" ] || [ "$(calc "$t < ${BEST[$kind.$other]}" 0)" = 1 ]; }; then
      other=$reader
    fi
  done
  bi=${BEST[$kind.bi.exe]:-}
  if [ -n "$bi" ] && [ -n "$other" ]; then
    ratio=$(calc "${BEST[$kind.$other]} / $bi")
    [ "$(calc "$ratio >= 1.5" 0)" = 1 ] && verdict=met || verdict="NOT met"
    echo "  bi.exe speed / $other speed (the faster of bsdtar and unar): ${ratio}x   goal >= 1.5x: $verdict"
  else
    echo "  bi.exe speed / speed of the faster of bsdtar and unar: n/a   goal >= 1.5x: not measured"
  fi
  if [ -n "$bi" ]; then
    speed=$(calc "$OUT_BYTES / 1e6 / $bi" 1)
    [ "$(calc "$speed >= 300" 0)" = 1 ] && verdict=met || verdict="NOT met"
    echo "  bi.exe output: $speed MB/s   goal >= 300 MB/s: $verdict"
  else
    echo "  bi.exe output: n/a   goal >= 300 MB/s: not measured"
  fi
  unset status
done
