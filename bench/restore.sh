#!/usr/bin/env bash
# Restore speed of bi.exe against bsdtar and unar. A real MariaDB data directory is packed into
# a compressed RAR 5.0 archive and a compressed RAR 2.9 archive (by bench/gen-rar.cpp: bi.exe
# does not compress yet), and each archive is extracted by bi.exe under Wine and by native
# bsdtar and unar. Prints, per archive and reader, the best of three runs in seconds and MB/s
# of output (1 MB = 10^6 bytes), and bi.exe against the goals: at least 1.5 times as fast as
# the faster of bsdtar and unar, and at least 300 MB/s. Every extraction is compared with the
# source tree; a run with wrong output does not count.
#
# Usage: bench/restore.sh
#   BENCH_PREBUILT=1  use build/mingw/bin/bi.exe as it is (no configure, no build)
#   BENCH_ROUNDS=N    runs per reader and archive (default 3)
#   BENCH_DATA_MB=N   size of the database when it is made (default 300, about 410 MiB of files)
#   BENCH_MAKE_DATADIR=PATH  the realdb make-datadir.sh (default /work/shared/realdb/make-datadir.sh)
# The data directory and the archives are kept in build/bench-data/ for later runs; the
# archives are made again when gen-rar.cpp or the data changes. Delete the folder to start over.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

ROUNDS=${BENCH_ROUNDS:-3}
DATA_MB=${BENCH_DATA_MB:-300}
CACHE="$ROOT/build/bench-data"
DATA="$CACHE/Data"
MAKE_DATADIR=${BENCH_MAKE_DATADIR:-/work/shared/realdb/make-datadir.sh}

# The data directory needs a real server; the generator is built with the host compiler.
APT_PACKAGES+=(g++ mariadb-server mariadb-client)

if [ "${BENCH_PREBUILT:-0}" = 1 ]; then
  [ -x "$BIN/bi.exe" ] || { echo "BENCH_PREBUILT=1 but $BIN/bi.exe is missing" >&2; exit 1; }
  install_packages
  install_locale
  warm_wine
else
  prepare
fi

WORK="$WINEPREFIX/drive_c/bench-restore"
WIN_WORK='C:\bench-restore'
GEN_BUILD=$(mktemp -d)
cleanup() {
  rm -rf "$WORK" "$GEN_BUILD"
  stop_wine
}
trap cleanup EXIT

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.${2:-2}f\", $1 }"; }

# --- The data directory, made once -------------------------------------------------------------
mkdir -p "$CACHE"
if [ ! -s "$CACHE/Data.ready" ]; then
  echo "Making a MariaDB data directory of about $DATA_MB MB (a minute or two)..."
  rm -rf "$DATA" "$CACHE"/Data.* "$CACHE"/rar-*
  "$MAKE_DATADIR" "$CACHE/Data.new" "$DATA_MB" 2>"$CACHE/make-datadir.log" ||
    { tail -n 20 "$CACHE/make-datadir.log" >&2; exit 1; }
  mv "$CACHE/Data.new" "$DATA"
  mv "$CACHE/Data.new.checksums.txt" "$CACHE/Data.checksums.txt"
  mv "$CACHE/Data.new.make.log" "$CACHE/Data.make.log"
  # Identifies this copy of the data: the archives made from it carry it in their key.
  date +%s.%N >"$CACHE/Data.ready"
fi
OUT_BYTES=$(find "$DATA" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
OUT_FILES=$(find "$DATA" -type f | wc -l)

# --- The archives, made once per generator source and data -------------------------------------
KEY=$(cat "$ROOT/bench/gen-rar.cpp" "$CACHE/Data.ready" | sha256sum | cut -c1-16)
ARCHIVES="$CACHE/rar-$KEY"
if [ ! -e "$ARCHIVES/ready" ]; then
  rm -rf "$CACHE"/rar-*
  echo "Building bench/gen-rar.cpp and packing the data directory twice (about a minute)..."
  g++ -std=c++20 -O2 -Wall -Wextra -o "$GEN_BUILD/gen-rar" "$ROOT/bench/gen-rar.cpp"
  # One folder per archive: unar takes archives whose names differ only in digits for
  # volumes of one set.
  mkdir -p "$ARCHIVES/rar5" "$ARCHIVES/rar29"
  "$GEN_BUILD/gen-rar" 5 "$ARCHIVES/rar5/Data.rar" "$DATA" >"$ARCHIVES/gen-rar5.log" &
  gen5=$!
  "$GEN_BUILD/gen-rar" 4 "$ARCHIVES/rar29/Data.rar" "$DATA" >"$ARCHIVES/gen-rar29.log" &
  gen4=$!
  wait "$gen5" || { echo "gen-rar 5 failed" >&2; exit 1; }
  wait "$gen4" || { echo "gen-rar 4 failed" >&2; exit 1; }
  touch "$ARCHIVES/ready"
fi
sed 's/^/archive made by gen-rar: /' "$ARCHIVES/gen-rar5.log" "$ARCHIVES/gen-rar29.log"

# --- Extraction --------------------------------------------------------------------------------
rm -rf "$WORK"
mkdir -p "$WORK/rar5" "$WORK/rar29"
for kind in rar5 rar29; do
  ln -f "$ARCHIVES/$kind/Data.rar" "$WORK/$kind/Data.rar" 2>/dev/null ||
    cp "$ARCHIVES/$kind/Data.rar" "$WORK/$kind/Data.rar"
done
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
