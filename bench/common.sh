#!/usr/bin/env bash
# Shared by the benchmarks, sourced after scripts/common.sh: setting up, timing, and a real
# MariaDB data directory made once by a real server and kept in build/bench-data/Data for later
# runs (delete the folder to start over).
#   BENCH_PREBUILT=1  use build/mingw/bin/bi.exe as it is (no configure, no build)
#   BENCH_DATA_MB=N   size of the database when it is made (default 300, about 410 MiB of files)
#   BENCH_MAKE_DATADIR=PATH  the realdb make-datadir.sh (default /work/shared/realdb/make-datadir.sh)

REALDB_CACHE="$ROOT/build/bench-data"
REALDB="$REALDB_CACHE/Data"

# Makes the data directory unless it is there; $REALDB_CACHE/Data.ready identifies this copy.
ensure_realdb() {
  local size_mb=${BENCH_DATA_MB:-300}
  local make_datadir=${BENCH_MAKE_DATADIR:-/work/shared/realdb/make-datadir.sh}
  mkdir -p "$REALDB_CACHE"
  if [ ! -s "$REALDB_CACHE/Data.ready" ]; then
    echo "Making a MariaDB data directory of about $size_mb MB (a minute or two)..."
    rm -rf "$REALDB" "$REALDB_CACHE"/Data.* "$REALDB_CACHE"/rar-*
    "$make_datadir" "$REALDB_CACHE/Data.new" "$size_mb" 2>"$REALDB_CACHE/make-datadir.log" ||
      { tail -n 20 "$REALDB_CACHE/make-datadir.log" >&2; exit 1; }
    mv "$REALDB_CACHE/Data.new" "$REALDB"
    mv "$REALDB_CACHE/Data.new.checksums.txt" "$REALDB_CACHE/Data.checksums.txt"
    mv "$REALDB_CACHE/Data.new.make.log" "$REALDB_CACHE/Data.make.log"
    date +%s.%N >"$REALDB_CACHE/Data.ready"
  fi
}

# Bytes and files of a tree.
tree_bytes() { find "$1" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }'; }
tree_files() { find "$1" -type f | wc -l; }

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.${2:-2}f\", $1 }"; }

# Installs what is missing and builds (or, with BENCH_PREBUILT=1, checks for bi.exe), warms
# Wine and removes the work folder $1 and stops Wine on exit.
prepare_bench() {
  BENCH_WORK=$1
  if [ "${BENCH_PREBUILT:-0}" = 1 ]; then
    [ -x "$BIN/bi.exe" ] || { echo "BENCH_PREBUILT=1 but $BIN/bi.exe is missing" >&2; exit 1; }
    install_packages
    install_locale
    warm_wine
  else
    prepare
  fi
  trap 'rm -rf "$BENCH_WORK"; stop_wine' EXIT
}
