#!/usr/bin/env bash
# The real MariaDB server behind QUOR_MySQL, driven as the backup and the port mover drive it:
# registered with the configurator's command line in a root whose path has spaces and Chinese
# characters (long enough that the socket needs its short folder), its data directory named
# by settings.ini, started and stopped with Wine's net command. A stop is complete when net
# returns and the next start needs no crash recovery; a server that dies, and a start on a
# port another program holds, stop the service with its code and a reason in the error log.
# Usage: realserver.sh path/to/mysqld-real.exe    (exit 77: MariaDB is not installed)
set -euo pipefail

PROGRAM="$1"
PORT=23306
BUSY_PORT=23307
SERVICE=QUOR_MySQL
for tool in /usr/sbin/mariadbd mariadb mariadb-install-db python3; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed"; exit 77; }
done

DRIVE_C="${WINEPREFIX:-$HOME/.wine}/drive_c"
NAME="QUOR 真实服务器测试根目录 数据库服务 $$"
ROOT="$DRIVE_C/$NAME"
WIN_ROOT="C:\\$NAME"
RUN="$ROOT/MySQL/run"
LOG="$RUN/mysqld.err"
WORK="$(mktemp -d)"
LISTENER=

wine_quiet() { wine "$@" </dev/null >>"$WORK/wine.log" 2>&1; }
query() { timeout 60 mariadb --no-defaults --protocol=TCP -h127.0.0.1 -P"$PORT" -uroot -N -B \
  --default-character-set=utf8mb4 -e "$1"; }
# A process that has ended may stay a zombie until its parent collects it.
alive() { local stat; stat="$(cat "/proc/$1/stat" 2>/dev/null)" || return 1
  stat="${stat##*) }"; [[ "${stat:0:1}" != [ZX] ]]; }
pid_in() { cat "$RUN/$1" 2>/dev/null || true; }
state() { wine sc query "$SERVICE" </dev/null 2>/dev/null | tr -d '\r'; }
field() { state | awk -v f="$1" '$1 == f { print $3 }'; }
# wait_state STATE [FROM]: true once in STATE; false once settled in another state than FROM
# or a pending one, or after 120 s.
wait_state() {
  local now
  for _ in $(seq 600); do
    now="$(state | awk '$1 == "STATE" { print $4 }')"
    case "$now" in "$1") return 0 ;; *PENDING | "${2:-}") sleep 0.2 ;; *) return 1 ;; esac
  done
  return 1
}
log_since() { tail -c +"$(( $1 + 1 ))" "$LOG"; }
fail() { echo "REAL SERVER TEST FAILED ($CASE): $*" >&2; tail -n 30 "$LOG" >&2 2>/dev/null || true; exit 1; }

cleanup() {
  wine_quiet net stop "$SERVICE" || true
  wine_quiet sc delete "$SERVICE" || true
  local pid
  for pid in "$(pid_in launch.pid)" "$(pid_in mysqld.pid)"; do
    [ -n "$pid" ] && alive "$pid" && kill -KILL "$pid"
  done
  [ -n "$LISTENER" ] && kill "$LISTENER" 2>/dev/null
  rm -rf "$ROOT" "$WORK"
  rm -rf "/tmp/quor-mysqld-$PORT" "/tmp/quor-mysqld-$BUSY_PORT"
}
trap cleanup EXIT

CASE=setup
# Services live only as long as the wineserver; test.sh keeps one running, this covers a run
# of its own.
wineserver -p60 </dev/null >/dev/null 2>&1 || true
wine_quiet net stop "$SERVICE" || true
wine_quiet sc delete "$SERVICE" || true
mkdir -p "$ROOT/MySQL/bin"
cp "$PROGRAM" "$ROOT/MySQL/bin/mysqld-nt.exe"
printf '[mysqld]\r\nport=%s\r\n' "$PORT" > "$ROOT/MySQL/my.ini"
# The install script cannot take a folder with spaces; the data directory moves in afterwards.
mariadb-install-db --no-defaults --user="$(id -un)" --datadir="$WORK/data" \
  --auth-root-authentication-method=normal > "$WORK/install.log" 2>&1 \
  || fail "mariadb-install-db: $(tail -n 5 "$WORK/install.log")"
mv "$WORK/data" "$ROOT/库 data"
# A Data folder that must not be taken: settings.ini names the data directory, in GBK.
mkdir "$ROOT/Data"
printf '[quorkav]\r\nDataPath=%s\\库 data\r\n' "$WIN_ROOT" | iconv -f UTF-8 -t GBK > "$ROOT/settings.ini"
wine_quiet sc create "$SERVICE" binPath= "\"$WIN_ROOT\\MySQL\\bin\\mysqld-nt.exe\" $SERVICE" \
  || fail "sc create"

CASE="start, query over TCP, stop"
wine_quiet net start "$SERVICE" || fail "net start exited with $?"
wait_state RUNNING || fail "not RUNNING"
[ "$(query 'SELECT @@bind_address, @@port, @@character_set_server, @@collation_server')" \
  = "127.0.0.1	$PORT	utf8mb4	utf8mb4_unicode_ci" ] || fail "server settings differ"
[[ "$(query 'SELECT @@datadir')" == */"$NAME/库 data/" ]] || fail "another data directory"
query "CREATE DATABASE 商店; CREATE TABLE 商店.订单 (id INT PRIMARY KEY, 名称 VARCHAR(20)) ENGINE=InnoDB;
  INSERT INTO 商店.订单 VALUES (1, '王芳'), (2, '😀')" || fail "cannot write"
SERVER="$(pid_in mysqld.pid)"
alive "$SERVER" || fail "no server process named by mysqld.pid"
wine_quiet net stop "$SERVICE" || fail "net stop exited with $?"
! alive "$SERVER" || fail "server process $SERVER still runs after net stop returned"
! (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null || fail "port $PORT still open after net stop returned"
[ "$(field STATE)" = 1 ] && [ "$(field WIN32_EXIT_CODE)" = 0 ] || fail "$(state)"
[[ "$(tail -n 1 "$LOG")" == *"mariadbd: Shutdown complete" ]] || fail "no clean shutdown at the log's end"

CASE="start again"
OFFSET=$(stat -c %s "$LOG")
wine_quiet net start "$SERVICE" || fail "net start exited with $?"
wait_state RUNNING || fail "not RUNNING"
! log_since "$OFFSET" | grep -i -E 'crash recovery|recover' || fail "the server recovered"
[ "$(query 'SELECT GROUP_CONCAT(名称 ORDER BY id) FROM 商店.订单')" = "王芳,😀" ] || fail "rows lost"
wine_quiet net stop "$SERVICE" || fail "net stop exited with $?"
wait_state STOPPED || fail "not STOPPED"

CASE="a server that ends by itself"
wine_quiet net start "$SERVICE" || fail "net start exited with $?"
wait_state RUNNING || fail "not RUNNING"
kill -KILL "$(pid_in mysqld.pid)"
wait_state STOPPED RUNNING || fail "not STOPPED"
# 1066: ERROR_SERVICE_SPECIFIC_ERROR; 3: the server ended.
[ "$(field WIN32_EXIT_CODE)" = 1066 ] && [ "$(field SERVICE_EXIT_CODE)" = 3 ] || fail "$(state)"
tail -n 1 "$LOG" | grep -q 'had ended without being asked to' || fail "no reason of ours"

CASE="start on a port another program holds"
python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(5)
print("listening", flush=True); time.sleep(300)' "$BUSY_PORT" > "$WORK/listener.out" 2>&1 &
LISTENER=$!
for _ in $(seq 50); do grep -q listening "$WORK/listener.out" && break; sleep 0.1; done
grep -q listening "$WORK/listener.out" || fail "cannot hold port $BUSY_PORT"
printf '[mysqld]\r\nport=%s\r\n' "$BUSY_PORT" > "$ROOT/MySQL/my.ini"
OFFSET=$(stat -c %s "$LOG")
wine_quiet net start "$SERVICE" || fail "net start exited with $?"
wait_state STOPPED || fail "not STOPPED"
# 3: the server ended before it answered.
[ "$(field WIN32_EXIT_CODE)" = 1066 ] && [ "$(field SERVICE_EXIT_CODE)" = 3 ] || fail "$(state)"
log_since "$OFFSET" | grep -q "port: $BUSY_PORT ?" || fail "the log does not name the busy port"
log_since "$OFFSET" | grep -q 'ended before it answered on its port' || fail "no reason of ours"
! alive "$(pid_in launch.pid)" || fail "a server still runs"
