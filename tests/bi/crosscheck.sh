#!/usr/bin/env bash
# Cross-check of bi.exe's archives with two independent readers: a tree packed by bi.exe
# (under Wine) must be listed, tested and extracted by bsdtar and unar with the same names,
# content and modification times. Usage: crosscheck.sh path/to/bi.exe
set -euo pipefail

BI="$1"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT

fail() { echo "CROSS-CHECK FAILED: $*" >&2; exit 1; }
windows_path() { local p="$1"; printf 'Z:%s' "${p//\//\\}"; }
# Relative path, kind, size and modification time (whole seconds) of everything in a folder.
inventory() { (cd "$1" && find . -mindepth 1 -printf '%P|%y|%s|%TY-%Tm-%Td %TH:%TM:%.2TS\n' \
    | sed 's/|d|[0-9]*|/|d|-|/' | LC_ALL=C sort); }
files_only() { grep -v '|d|' || true; }

SRC="$WORK/src"
DATA="$SRC/Data"
mkdir -p "$DATA/empty dir" "$DATA/nested/deeper" "$DATA/中文目录"
printf 'hello' > "$DATA/a.txt"
: > "$DATA/empty.txt"
head -c $((3 * 1024 * 1024 + 17)) /dev/urandom > "$DATA/nested/deeper/big.bin"
head -c 70000 /dev/urandom > "$DATA/nested/medium.bin"
printf '数据' > "$DATA/中文目录/数据.txt"
printf 'outside the BMP' > "$DATA/😀 𠀀.txt"
# Distinct whole-second times, children before their folders.
n=0
while IFS= read -r -d '' path; do
  n=$((n + 1))
  touch -d "@$((1600000000 + n * 3607))" "$path"
done < <(find "$DATA" -depth -print0)

ARCHIVE="$WORK/Data-backup.quordb"
wine "$BI" a -ep1 -inul -m2 "$(windows_path "$ARCHIVE")" "$(windows_path "$DATA")" \
  > "$WORK/bi.log" 2>&1 </dev/null || fail "bi.exe a exited with $? ($(cat "$WORK/bi.log"))"
[ -s "$ARCHIVE" ] || fail "bi.exe wrote no archive"

EXPECTED_NAMES="$(cd "$SRC" && find Data -print | LC_ALL=C sort)"

# bsdtar: listing, then extraction.
LISTED="$(bsdtar -tf "$ARCHIVE" | sed 's:/$::' | LC_ALL=C sort)" || fail "bsdtar -tf failed"
[ "$LISTED" = "$EXPECTED_NAMES" ] || fail "bsdtar lists other names:
$(diff <(echo "$EXPECTED_NAMES") <(echo "$LISTED"))"
bsdtar -tvf "$ARCHIVE" > "$WORK/bsdtar-tv.txt" || fail "bsdtar -tvf failed"
mkdir "$WORK/bsdtar"
bsdtar -xf "$ARCHIVE" -C "$WORK/bsdtar" || fail "bsdtar -xf failed"
diff -r "$SRC" "$WORK/bsdtar" || fail "bsdtar extracted different content"
diff <(inventory "$SRC") <(inventory "$WORK/bsdtar") \
  || fail "bsdtar extracted different names, sizes or times"

# unar/lsar: test every CRC, then extraction.
lsar -t "$ARCHIVE" > "$WORK/lsar.txt" 2>&1 || fail "lsar -t failed: $(cat "$WORK/lsar.txt")"
grep -q ' 0 failed' "$WORK/lsar.txt" || fail "lsar -t reports failures: $(cat "$WORK/lsar.txt")"
LSAR_NAMES="$(lsar "$ARCHIVE" | tail -n +2 | sed 's:/$::' | LC_ALL=C sort)"
[ "$LSAR_NAMES" = "$EXPECTED_NAMES" ] || fail "lsar lists other names:
$(diff <(echo "$EXPECTED_NAMES") <(echo "$LSAR_NAMES"))"
mkdir "$WORK/unar"
unar -q -D -o "$WORK/unar" "$ARCHIVE" > "$WORK/unar.txt" 2>&1 \
  || fail "unar failed: $(cat "$WORK/unar.txt")"
diff -r "$SRC" "$WORK/unar" || fail "unar extracted different content"
# unar gives files their times; folder times are compared through bsdtar above.
diff <(inventory "$SRC" | files_only) <(inventory "$WORK/unar" | files_only) \
  || fail "unar extracted different file sizes or times"

echo "bsdtar and unar agree with bi.exe on $(echo "$EXPECTED_NAMES" | wc -l) entries"
