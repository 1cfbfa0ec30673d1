#!/usr/bin/env bash
# Builds a demo installation root in the Wine prefix, registers QUOR_MySQL with the
# stand-in server and runs KavSafe's main job, the scheduled backup (KavSafe.exe -b).
# Usage (as root on Debian 12): scripts/demo.sh. Safe to run again.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

prepare

DRIVE_C="$WINEPREFIX/drive_c"
DEMO="$DRIVE_C/QUOR 演示"   # C:\QUOR 演示: a root with a space and Chinese characters
WIN_DEMO='C:\QUOR 演示'
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')

echo "== Demo installation root: $WIN_DEMO"
wine net stop QUOR_MySQL >/dev/null 2>&1 </dev/null || true
wine sc delete QUOR_MySQL >/dev/null 2>&1 </dev/null || true
rm -rf "$DEMO"
mkdir -p "$DEMO/Apache/bin" "$DEMO/MySQL/bin" "$DEMO/MySQL/Data/mysql" "$DEMO/MySQL/Data/quor/空表"
cp "$BIN/KavSafe.exe" "$DEMO/"
cp "$BIN/bi.exe" "$DEMO/Apache/bin/"
cp "$BIN/mysqld-nt.exe" "$DEMO/MySQL/bin/"
printf '[mysqld]\r\nport=%s\r\n' "$PORT" > "$DEMO/MySQL/my.ini"

# A small sample data directory: a few tables of rows, a tablespace of 16 KiB pages that are
# partly empty as a database's are, a file of random bytes that does not compress, an empty
# folder.
printf 'root localhost\n' > "$DEMO/MySQL/Data/mysql/user.MYD"
python3 - "$DEMO/MySQL/Data" <<'PY'
import random, sys
data = sys.argv[1]
rng = random.Random(2026)
names = ["王芳", "李伟", "Smith", "García", "Müller", "佐藤"]
with open(f"{data}/ibdata1", "wb") as out:
    for page in range(256):
        rows = b"".join(f"{page:05d}|{rng.choice(names)}|{rng.randint(1, 9999)}.{rng.randint(0, 99):02d}|"
                        f"2026-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}\n".encode()
                        for _ in range(rng.randint(0, 120)))
        out.write((page.to_bytes(4, "little") + rows)[:16384].ljust(16384, b"\0"))
for table in ("orders", "customers", "订单"):
    with open(f"{data}/quor/{table}.MYD", "w", encoding="utf-8") as out:
        for row in range(2000):
            out.write(f"{row}\t{rng.choice(names)}\t{rng.randint(1, 500)}\tshipped\n")
    with open(f"{data}/quor/{table}.frm", "w") as out:
        out.write(f"frm {table}\n")
PY
head -c 300000 /dev/urandom > "$DEMO/MySQL/Data/quor/blob.ibd"

echo "== Registering QUOR_MySQL (stand-in server on port $PORT) and starting it"
wine sc create QUOR_MySQL binPath= "$WIN_DEMO\\MySQL\\bin\\mysqld-nt.exe QUOR_MySQL" >/dev/null 2>&1 </dev/null
wine net start QUOR_MySQL >/dev/null 2>&1 </dev/null || true

echo "== Running: \"$WIN_DEMO\\KavSafe.exe\" -b"
wine "$WIN_DEMO\\KavSafe.exe" -b </dev/null

# The job starts MySQL again without waiting for it.
for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null && break; sleep 0.2; done

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
echo "== Archive listing (bi.exe l of a copy given back its Rar! bytes)"
CHECK="$DRIVE_C/demo-check.rar"
cp "$LATEST" "$CHECK"
printf 'Rar!' | dd of="$CHECK" bs=1 seek=0 count=4 conv=notrunc status=none
wine "$BIN/bi.exe" l 'C:\demo-check.rar' </dev/null
rm -f "$CHECK"
echo
if (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then
  echo "== QUOR_MySQL is running again on port $PORT"
else
  echo "== QUOR_MySQL is NOT listening on port $PORT" >&2
  exit 1
fi
