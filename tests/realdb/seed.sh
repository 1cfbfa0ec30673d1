#!/usr/bin/env bash
# Makes the real MariaDB data directory the realdb tests start from, once per build folder:
# the deterministic shop database of the shared realdb scripts (about 20 MB of rows), shut
# down cleanly, plus a client account quor/quor for 127.0.0.1 so that the tests can reach the
# server over TCP as an administrator's tools would. Usage: seed.sh REALDB_SCRIPTS OUTDIR
set -euo pipefail
REALDB_SCRIPTS=$(cd "$1" && pwd)
OUT=$2
if [ -s "$OUT/ready" ]; then
  exit 0
fi
rm -rf "$OUT"
mkdir -p "$OUT"
bash "$REALDB_SCRIPTS/make-datadir.sh" "$OUT/Data" 20 >"$OUT/make.out" 2>&1 ||
  { cat "$OUT/make.out" >&2; exit 1; }
(
  ERRLOG="$OUT/account.log"
  source "$REALDB_SCRIPTS/common.sh"
  start_server "$OUT/Data"
  sql -e "CREATE USER 'quor'@'127.0.0.1' IDENTIFIED BY 'quor';
          GRANT ALL PRIVILEGES ON *.* TO 'quor'@'127.0.0.1'"
  stop_server
)
date >"$OUT/ready"
