#!/usr/bin/env bash
# Builds a demo installation root in the Wine prefix with a real MariaDB server as the service
# QUOR_MySQL and a shop database in its data directory, then shows KavSafe's two jobs on it: the
# scheduled backup (KavSafe.exe -b) and, after rows have changed, the restore of that backup from
# the command line (its question answered 是), with the shop's row counts and checksums before
# the backup, after the change and after the restore.
# Usage (as root on Debian 12): scripts/demo.sh. Safe to run again.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

prepare

REALDB_SCRIPTS="${QUOR_SHARED_DIR:-$ROOT/../shared}/realdb"
DRIVE_C="$WINEPREFIX/drive_c"
DEMO="$DRIVE_C/QUOR 演示"   # C:\QUOR 演示: a root with a space and Chinese characters
WIN_DEMO='C:\QUOR 演示'
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
client() { mariadb --no-defaults -h127.0.0.1 -P"$PORT" -uquor -pquor -N -B "$@"; }
wait_for_server() {
  for _ in $(seq 240); do client -e 'SELECT 1' >/dev/null 2>&1 && return 0; sleep 0.25; done
  echo "== QUOR_MySQL does not answer on port $PORT" >&2
  exit 1
}
# Rows and checksum of every table of the shop database.
shop() {
  local t
  for t in $(client -e "SELECT table_name FROM information_schema.tables
      WHERE table_schema = 'shop' AND table_type = 'BASE TABLE' ORDER BY 1"); do
    printf '  %-14s %7s rows  checksum %s\n' "$t" "$(client -e "SELECT COUNT(*) FROM shop.$t")" \
      "$(client -e "CHECKSUM TABLE shop.$t EXTENDED" | cut -f2)"
  done
}

echo "== A shop database made by a real MariaDB server (cached in build/mingw/realdb-seed)"
bash "$ROOT/tests/realdb/seed.sh" "$REALDB_SCRIPTS" "$BUILD/realdb-seed"

echo "== Demo installation root: $WIN_DEMO"
wine net stop QUOR_MySQL >/dev/null 2>&1 </dev/null || true
wine sc delete QUOR_MySQL >/dev/null 2>&1 </dev/null || true
rm -rf "$DEMO" "$DRIVE_C/QuorBak"
mkdir -p "$DEMO/Apache/bin" "$DEMO/MySQL/bin" "$DEMO/Tmp"
cp "$BIN/KavSafe.exe" "$DEMO/"
cp "$BIN/bi.exe" "$DEMO/Apache/bin/"
cp "$BIN/mysqld-real.exe" "$DEMO/MySQL/bin/mysqld-nt.exe"
printf '[mysqld]\r\nport=%s\r\n' "$PORT" > "$DEMO/MySQL/my.ini"
cp -a "$BUILD/realdb-seed/Data" "$DEMO/MySQL/Data"

echo "== Registering QUOR_MySQL (MariaDB on 127.0.0.1:$PORT) and starting it"
wine sc create QUOR_MySQL binPath= "$WIN_DEMO\\MySQL\\bin\\mysqld-nt.exe QUOR_MySQL" >/dev/null 2>&1 </dev/null
wine net start QUOR_MySQL >/dev/null 2>&1 </dev/null || true
wait_for_server
echo
echo "== The shop before the backup"
shop | tee "$BUILD/demo-before.txt"
echo

echo "== Running: \"$WIN_DEMO\\KavSafe.exe\" -b"
wine "$WIN_DEMO\\KavSafe.exe" -b </dev/null

# The job starts MySQL again without waiting for it.
wait_for_server

echo
echo "== backup.log"
iconv -f GBK -t UTF-8 "$DEMO/backup.log"
echo
echo "== settings.ini (DataPath derived and written back)"
iconv -f GBK -t UTF-8 "$DEMO/settings.ini"
echo
echo "== Backup folder C:\\QuorBak"
ls -l "$DRIVE_C/QuorBak"
LATEST=$(ls -t "$DRIVE_C/QuorBak"/Data-*.quordb | head -n 1)
DATA_BYTES=$(find "$DEMO/MySQL/Data" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
BACKUP_BYTES=$(stat -c %s "$LATEST")
echo
echo "== Data directory $DATA_BYTES bytes in $(find "$DEMO/MySQL/Data" -type f | wc -l) files;" \
  "backup $BACKUP_BYTES bytes ($(awk "BEGIN { printf \"%.1f\", 100 * $BACKUP_BYTES / $DATA_BYTES }")% of the data)"
echo
echo "== First bytes of $(basename "$LATEST")"
head -c 8 "$LATEST" | od -A d -t x1 -c | head -n 2
echo
echo "== Archive listing, beginning and end (bi.exe l of a copy given back its Rar! bytes)"
CHECK="$DRIVE_C/demo-check.rar"
cp "$LATEST" "$CHECK"
printf 'Rar!' | dd of="$CHECK" bs=1 seek=0 count=4 conv=notrunc status=none
wine "$BIN/bi.exe" l 'C:\demo-check.rar' </dev/null >"$BUILD/demo-listing.txt"
head -n 10 "$BUILD/demo-listing.txt"
echo "..."
tail -n 2 "$BUILD/demo-listing.txt"
rm -f "$CHECK"
echo
echo "== Rows change after the backup: order items deleted, customers renamed, log lines deleted"
client -e "DELETE FROM shop.order_items WHERE MOD(id, 7) = 0;
           UPDATE shop.customers SET last_name = CONCAT(last_name, '改') WHERE MOD(id, 5) = 0;
           DELETE FROM shop.access_log WHERE MOD(id, 3) = 0"
shop
echo
WIN_LATEST="C:\\QuorBak\\$(basename "$LATEST")"
echo "== Running: \"$WIN_DEMO\\KavSafe.exe\" $WIN_LATEST (its question answered 是)"
wine "$WIN_DEMO\\KavSafe.exe" "$WIN_LATEST" </dev/null &
KAVSAFE=$!
printf '   question: '
wine "$BIN/answer-box.exe" QUOR备份管理 恢复数据 yes 60 </dev/null
printf '   result:   '
wine "$BIN/answer-box.exe" QUOR备份管理 恢复 ok 600 </dev/null
wait "$KAVSAFE"
wait_for_server
echo
echo "== The shop after the restore"
shop | tee "$BUILD/demo-after.txt"
echo
if ! cmp -s "$BUILD/demo-before.txt" "$BUILD/demo-after.txt"; then
  echo "== The restored shop differs from the backed-up one" >&2
  exit 1
fi
echo "== Every table has the rows and checksum it had at the backup"
# The service lives only as long as the demo's Wine: the server is shut down cleanly first.
wine net stop QUOR_MySQL >/dev/null 2>&1 </dev/null || true
echo "== QUOR_MySQL stopped; the demo root stays in $DEMO"
