#!/usr/bin/env bash
# Cross-check of bi.exe's archives with two independent readers: a tree packed by bi.exe
# (under Wine) in both formats and at every method must be listed, tested and extracted by
# bsdtar and unar, and extracted by bi.exe itself, with the same names, content and
# modification times. The tree has text and database pages that compress, random data that
# does not, empty files and folders, names outside the BMP, and files over 4 MiB that span
# several chunks. Usage: crosscheck.sh path/to/bi.exe
set -euo pipefail

BI="$1"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT

fail() { echo "CROSS-CHECK FAILED ($CASE): $*" >&2; exit 1; }
windows_path() { local p="$1"; printf 'Z:%s' "${p//\//\\}"; }
# Relative path, kind, size and modification time (whole seconds) of everything in a folder.
inventory() { (cd "$1" && find . -mindepth 1 -printf '%P|%y|%s|%TY-%Tm-%Td %TH:%TM:%.2TS\n' \
    | sed 's/|d|[0-9]*|/|d|-|/' | LC_ALL=C sort); }
files_only() { grep -v '|d|' || true; }
# DOS times have two-second steps; unar reads the RAR 2.9 format's DOS time and not the
# extended time that refines it, so its times are compared at that resolution there.
even_seconds() { awk '{ s = substr($0, length($0) - 1) + 0
  print substr($0, 1, length($0) - 2) sprintf("%02d", s - s % 2) }'; }

SRC="$WORK/src"
DATA="$SRC/Data"
mkdir -p "$DATA/empty dir" "$DATA/nested/deeper" "$DATA/中文目录"
printf 'hello' > "$DATA/a.txt"
: > "$DATA/empty.txt"
printf 'x' > "$DATA/one.txt"
head -c $((5 * 1024 * 1024 + 17)) /dev/urandom > "$DATA/nested/deeper/random.bin"
head -c 70000 /dev/urandom > "$DATA/nested/medium.bin"
printf '数据' > "$DATA/中文目录/数据.txt"
printf 'outside the BMP' > "$DATA/😀 𠀀.txt"
python3 - "$DATA" <<'PY'
import random, struct, sys
root = sys.argv[1]
rng = random.Random(11)
words = ("backup restore table index page row column value order customer item price "
         "shipping address 数据库 备份 the of and to in is for on with").split()
text = []
size = 0
while size < 3_000_000:
    text.append(" ".join(rng.choice(words) for _ in range(rng.randint(3, 14))) + ".\n")
    size += len(text[-1])
open(f"{root}/nested/text.txt", "w", encoding="utf-8").write("".join(text))
# 16 KiB pages: a header, rows of mixed text and numbers, and the rest zeros; 9 MiB in all,
# so the file spans several chunks and crosses 4 MiB boundaries with matches on both sides.
pages = bytearray()
for number in range(9 * 64):
    page = bytearray(16384)
    page[0:12] = struct.pack("<IIi", number, number * 7 + 3, -1)
    at = 38
    for row in range(rng.randint(0, 60)):
        record = f"{row:05d}|{rng.choice(words)}|{rng.randint(0, 99999)}|{rng.random():.4f}".encode()
        if at + len(record) + 4 >= 16384 - 8:
            break
        page[at:at + 4] = struct.pack("<I", len(record))
        page[at + 4:at + 4 + len(record)] = record
        at += 4 + len(record)
    page[-8:] = struct.pack("<Q", number ^ 0x5A5A)
    pages += page
open(f"{root}/nested/deeper/table.ibd", "wb").write(pages)
PY
# Distinct whole-second times, children before their folders.
n=0
while IFS= read -r -d '' path; do
  n=$((n + 1))
  touch -d "@$((1600000000 + n * 3607))" "$path"
done < <(find "$DATA" -depth -print0)
EXPECTED_NAMES="$(cd "$SRC" && find Data -print | LC_ALL=C sort)"
EXPECTED_INVENTORY="$(inventory "$SRC")"

check_archive() {
  local archive="$1" out="$2"
  [ -s "$archive" ] || fail "bi.exe wrote no archive"

  # bsdtar: listing, then extraction.
  local listed
  listed="$(bsdtar -tf "$archive" | sed 's:/$::' | LC_ALL=C sort)" || fail "bsdtar -tf failed"
  [ "$listed" = "$EXPECTED_NAMES" ] || fail "bsdtar lists other names:
$(diff <(echo "$EXPECTED_NAMES") <(echo "$listed"))"
  mkdir "$out/bsdtar"
  bsdtar -xf "$archive" -C "$out/bsdtar" || fail "bsdtar -xf failed"
  diff -r "$SRC" "$out/bsdtar" || fail "bsdtar extracted different content"
  diff <(echo "$EXPECTED_INVENTORY") <(inventory "$out/bsdtar") \
    || fail "bsdtar extracted different names, sizes or times"

  # unar/lsar: test every CRC, then extraction. unar gives files their times; folder times
  # are compared through bsdtar and bi.exe.
  lsar -t "$archive" > "$out/lsar.txt" 2>&1 || fail "lsar -t failed: $(cat "$out/lsar.txt")"
  grep -q ' 0 failed' "$out/lsar.txt" || fail "lsar -t reports failures: $(cat "$out/lsar.txt")"
  local lsar_names
  lsar_names="$(lsar "$archive" | tail -n +2 | sed 's:/$::' | LC_ALL=C sort)"
  [ "$lsar_names" = "$EXPECTED_NAMES" ] || fail "lsar lists other names:
$(diff <(echo "$EXPECTED_NAMES") <(echo "$lsar_names"))"
  mkdir "$out/unar"
  unar -q -D -o "$out/unar" "$archive" > "$out/unar.txt" 2>&1 \
    || fail "unar failed: $(cat "$out/unar.txt")"
  diff -r "$SRC" "$out/unar" || fail "unar extracted different content"
  local unar_times=cat
  [ "$format" = 5 ] || unar_times=even_seconds
  diff <(echo "$EXPECTED_INVENTORY" | files_only | $unar_times) \
    <(inventory "$out/unar" | files_only | $unar_times) \
    || fail "unar extracted different file sizes or times"

  # bi.exe itself.
  mkdir "$out/bi"
  wine "$BI" x -inul "$(windows_path "$archive")" "$(windows_path "$out/bi")" \
    > "$out/bi-x.log" 2>&1 </dev/null || fail "bi.exe x exited with $?"
  diff -r "$SRC" "$out/bi" || fail "bi.exe extracted different content"
  diff <(echo "$EXPECTED_INVENTORY") <(inventory "$out/bi") \
    || fail "bi.exe extracted different names, sizes or times"
}

DATA_SIZE=$(du -sb "$DATA" | cut -f1)
for format in 4 5; do
  for method in 0 1 2 3 4 5; do
    CASE="-ma$format -m$method"
    # One folder per archive: unar takes archives whose names differ only in digits for
    # volumes of one set.
    out="$WORK/ma$format-m$method"
    mkdir "$out"
    archive="$out/Data-backup.quordb"
    wine "$BI" a -ep1 -inul "-m$method" "-ma$format" "$(windows_path "$archive")" \
      "$(windows_path "$DATA")" > "$out/bi-a.log" 2>&1 </dev/null \
      || fail "bi.exe a exited with $? ($(cat "$out/bi-a.log"))"
    check_archive "$archive" "$out"
    echo "$CASE: $(stat -c %s "$archive") bytes for $DATA_SIZE, read alike by bsdtar, unar and bi.exe"
    rm -rf "$out"
  done
done
