#!/usr/bin/env bash
# KavSafe with a real MariaDB server behind QUOR_MySQL. A scheduled backup of a live shop
# database, rows changed, the backup restored from the command line (answered 是): the
# database holds exactly the rows of the moment of the backup, and the restored directory
# starts without crash recovery and passes the realdb verification. Then a backup taken while
# a client keeps writing, one transaction per row: its content starts cleanly and holds one of
# the states the client saw, never a torn one.
# Usage: backup-restore.sh BIN_DIR REALDB_SCRIPTS SEED_DIR (made by seed.sh); needs the Wine
# environment of scripts/common.sh. Uses 127.0.0.1:23306 and the service name QUOR_MySQL.
set -euo pipefail
BIN=$(cd "$1" && pwd)
REALDB_SCRIPTS=$(cd "$2" && pwd)
SEED=$(cd "$3" && pwd)
PORT=23306
# sc takes the registered command line as one argument; a root without blanks keeps it simple.
ROOT="$WINEPREFIX/drive_c/quor-realdb"
WIN_ROOT='C:\quor-realdb'
WORK=$(mktemp -d)
WRITER=

cleanup() {
  [ -z "$WRITER" ] || kill "$WRITER" 2>/dev/null || true
  wine net stop QUOR_MySQL >/dev/null 2>&1 || true
  wine sc delete QUOR_MySQL >/dev/null 2>&1 || true
  rm -rf "$WORK" "$ROOT"
}
trap cleanup EXIT
fail() {
  echo "REALDB FAILED: $*" >&2
  [ ! -f "$ROOT/backup.log" ] || iconv -f GBK -t UTF-8 -c "$ROOT/backup.log" | tail -20 >&2
  # The service program's own lines tell when the server was started and stopped.
  [ ! -f "$ROOT/MySQL/run/mysqld.err" ] || grep -a 'mysqld-nt\|shutdown\|Shutdown' "$ROOT/MySQL/run/mysqld.err" >&2
  exit 1
}
client() { mariadb --no-defaults -h127.0.0.1 -P"$PORT" -uquor -pquor -N -B "$@"; }
wait_for_server() {
  for _ in $(seq 240); do client -e 'SELECT 1' >/dev/null 2>&1 && return 0; sleep 0.25; done
  fail "the server does not answer on port $PORT"
}
# "db.table rows checksum" of every shop table, as the realdb scripts write them.
sums() {
  local t
  for t in $(client -e "SELECT CONCAT(table_schema,'.',table_name) FROM information_schema.tables
      WHERE table_schema = 'shop' AND table_type = 'BASE TABLE' ORDER BY 1"); do
    printf '%s %s %s\n' "$t" "$(client -e "SELECT COUNT(*) FROM $t")" \
      "$(client -e "CHECKSUM TABLE $t EXTENDED" | cut -f2)"
  done
}
only_backup() {
  local found=("$ROOT"/备份/Data-*.quordb)
  [ ${#found[@]} -eq 1 ] && [ -f "${found[0]}" ] || fail "expected one backup, found: ${found[*]}"
  printf '%s' "${found[0]}"
}
RECOVERY='crash recovery|Starting final batch to recover|To recover:|Aria engine: starting recovery|not closed properly|marked as crashed'

# Services live only as long as the wineserver: keep it running between the commands.
wineserver -p >/dev/null 2>&1 </dev/null || true

# The installation: KavSafe, bi, the real server as mysqld-nt.exe on PORT, the shop data in \Data.
rm -rf "$ROOT"
mkdir -p "$ROOT/Apache/bin" "$ROOT/MySQL/bin" "$ROOT/Tmp" "$ROOT/备份"
cp "$BIN/KavSafe.exe" "$ROOT/"
cp "$BIN/bi.exe" "$ROOT/Apache/bin/"
cp "$BIN/mysqld-real.exe" "$ROOT/MySQL/bin/mysqld-nt.exe"
printf '[mysqld]\r\nport=%s\r\n' "$PORT" >"$ROOT/MySQL/my.ini"
cp -a "$SEED/Data" "$ROOT/Data"
printf '[QuorKAV]\r\nBakPath=%s\\备份\\\r\n' "$WIN_ROOT" | iconv -f UTF-8 -t GBK >"$ROOT/settings.ini"
wine sc delete QUOR_MySQL >/dev/null 2>&1 || true
wine sc create QUOR_MySQL binpath= "$WIN_ROOT\\MySQL\\bin\\mysqld-nt.exe QUOR_MySQL" >/dev/null ||
  fail "cannot register QUOR_MySQL"
wine net start QUOR_MySQL >/dev/null 2>&1 || true
wait_for_server

# 1. Backup, change, restore.
EXPECTED=$(grep -v '^#' "$SEED/Data.checksums.txt")
[ "$(sums)" = "$EXPECTED" ] || fail "the seeded database differs from its checksums"
wine "$WIN_ROOT\\KavSafe.exe" -b || fail "KavSafe.exe -b ended with $?"
BACKUP=$(only_backup)
wait_for_server # KavSafe starts the service again without waiting for it
# InnoDB and MyISAM (access_log) rows alike.
client -e "DELETE FROM shop.order_items WHERE MOD(id, 7) = 0;
           UPDATE shop.customers SET last_name = CONCAT(last_name, '改') WHERE MOD(id, 5) = 0;
           DELETE FROM shop.access_log WHERE MOD(id, 3) = 0" ||
  fail "cannot change rows"
[ "$(sums)" != "$EXPECTED" ] || fail "the change did not change the checksums"

# The server's error log, emptied so that it tells how the restored directory started.
LOG="$ROOT/MySQL/run/mysqld.err"
[ -f "$LOG" ] || fail "no server log at $LOG"
: >"$LOG"
WIN_BACKUP="$WIN_ROOT\\备份\\$(basename "$BACKUP")"
wine "$WIN_ROOT\\KavSafe.exe" "$WIN_BACKUP" &
KAVSAFE=$!
wine "$BIN/answer-box.exe" QUOR备份管理 恢复数据 yes 60 >/dev/null || fail "no restore question"
wine "$BIN/answer-box.exe" QUOR备份管理 恢复成功 ok 600 >/dev/null || fail "no success box"
wait "$KAVSAFE" || fail "the restore ended with $?"
wait_for_server
[ "$(sums)" = "$EXPECTED" ] || fail "the restored database is not the backed-up one"
if grep -E "$RECOVERY" "$LOG"; then
  fail "the restored directory needed crash recovery"
fi
wine net stop QUOR_MySQL >/dev/null 2>&1 || true
cp -a "$ROOT/Data" "$WORK/restored"
bash "$REALDB_SCRIPTS/verify-datadir.sh" "$WORK/restored" "$SEED/Data.checksums.txt" ||
  fail "verify-datadir.sh rejected the restored directory ($?)"
echo "backup and restore: the restored database equals the backup"

# 2. A backup while a client writes one row per transaction, a tally beside it.
wine net start QUOR_MySQL >/dev/null 2>&1 || true
wait_for_server
client -e "CREATE DATABASE quor_w;
           CREATE TABLE quor_w.seq (id INT AUTO_INCREMENT PRIMARY KEY, at DATETIME(6)) ENGINE=InnoDB;
           CREATE TABLE quor_w.tally (n INT NOT NULL) ENGINE=InnoDB;
           INSERT INTO quor_w.tally VALUES (0)"
rm -f "$BACKUP"
(
  while :; do
    client -e "START TRANSACTION; INSERT INTO quor_w.seq (at) VALUES (NOW(6));
               UPDATE quor_w.tally SET n = n + 1; COMMIT; SELECT n FROM quor_w.tally" \
      >>"$WORK/seen" 2>/dev/null || sleep 0.05
  done
) &
WRITER=$!
sleep 2
wine "$WIN_ROOT\\KavSafe.exe" -b || fail "KavSafe.exe -b during writes ended with $?"
sleep 1
kill "$WRITER"
WRITER=
BACKUP=$(only_backup)
[ -s "$WORK/seen" ] || fail "the client wrote nothing"

# The backup unpacked by the installation's archiver, on a copy with the RAR marker back.
cp "$BACKUP" "$WORK/writes.rar"
printf 'Rar!' | dd of="$WORK/writes.rar" bs=1 count=4 conv=notrunc status=none
mkdir "$WORK/writes"
wine "$BIN/bi.exe" x -inul "Z:${WORK//\//\\}\\writes.rar" "Z:${WORK//\//\\}\\writes" ||
  fail "bi.exe cannot unpack the backup"
(
  ERRLOG="$WORK/writes.log"
  source "$REALDB_SCRIPTS/common.sh"
  start_server "$WORK/writes/Data" || exit 1
  ROWS=$(sql -e "SELECT COUNT(*) FROM quor_w.seq")
  TALLY=$(sql -e "SELECT n FROM quor_w.tally")
  stop_server || exit 1
  ! grep -E "$RECOVERY" "$ERRLOG" || { echo "the backup needed crash recovery" >&2; exit 1; }
  [ "$ROWS" = "$TALLY" ] || { echo "torn state: $ROWS rows, tally $TALLY" >&2; exit 1; }
  # The last commit may have ended with the server, before its answer reached the client.
  LAST=$(tail -1 "$WORK/seen")
  grep -qx "$ROWS" "$WORK/seen" || [ "$ROWS" = $((LAST + 1)) ] ||
    { echo "$ROWS rows were never seen (last seen $LAST)" >&2; exit 1; }
  echo "backup during writes: $ROWS rows and tally $TALLY, a state the client saw"
) || fail "the backup taken during writes is not consistent"
