#!/bin/sh
# Speed of the engine against its peers, measured in the same run on the same
# inputs (warm cache, best of several runs each):
#   1. the disk examination of 2,000 files / 1 GB against md5sum of the same
#      files (goal: at least 0.9x md5sum's speed), and the two ways of reading
#      a file for its signature (mapping, large blocks);
#   2. reading a 100,000-entry directory file against awk '{n+=NF}' over it
#      (goal: faster than awk).
# Usage: bench/engine/run.sh [build folder]   (default: build)
set -eu
BUILD=${1:-build}
BIN=$BUILD/bench/engine/engine_bench
[ -x "$BIN" ] || { echo "build $BIN first: cmake --build $BUILD --target engine_bench" >&2; exit 1; }
WORK=$(mktemp -d "${TMPDIR:-/tmp}/skyvane-bench-XXXXXX")
trap 'rm -rf "$WORK"' EXIT INT TERM
RUNS=${RUNS:-5}

calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
less() { awk "BEGIN { exit !($1 < $2) }"; }

# Seconds taken by a command.
timed() {
  s=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  e=$(date +%s.%N)
  calc "$e - $s"
}
min() { if [ -z "$1" ] || less "$2" "$1"; then echo "$2"; else echo "$1"; fi; }

# The machine is shared: the commands under comparison take turns, run after
# run, so that both meet the same load; the best run of each counts.
echo "Making 2,000 files / 1 GB in $WORK ..."
mkdir -p "$WORK/dest"
"$BIN" make-tree "$WORK/dest/" 2000 1000000000 "$WORK/directory.txt"
find "$WORK/dest" -type f | sort > "$WORK/files.txt"
du -sh "$WORK/dest" | cut -f1 | sed 's/^/tree size: /'
cat $(cat "$WORK/files.txt") > /dev/null   # warm the cache

md5sum_run() { xargs md5sum < "$WORK/files.txt"; }
scan_run() { "$BIN" scan "$WORK/dest/" "$WORK/directory.txt"; }
t_md5sum=""; t_scan_total=""; t_scan_self=""; t_blocks=""; t_mapped=""
i=0
while [ $i -lt "$RUNS" ]; do
  t_md5sum=$(min "$t_md5sum" "$(timed md5sum_run)")
  t_scan_total=$(min "$t_scan_total" "$(timed scan_run)")
  t_scan_self=$(min "$t_scan_self" "$("$BIN" scan "$WORK/dest/" "$WORK/directory.txt" 2>/dev/null)")
  t_blocks=$(min "$t_blocks" "$("$BIN" md5 blocks "$WORK/files.txt")")
  t_mapped=$(min "$t_mapped" "$("$BIN" md5 mapped "$WORK/files.txt")")
  i=$((i + 1))
done
printf 'md5sum                      %8.3f s\n' "$t_md5sum"
printf 'examination (whole process) %8.3f s   speed vs md5sum: %.2fx\n' "$t_scan_total" "$(calc "$t_md5sum / $t_scan_total")"
printf 'examination (read_directory)%8.3f s   speed vs md5sum: %.2fx\n' "$t_scan_self" "$(calc "$t_md5sum / $t_scan_self")"
printf 'signatures, 1 MiB blocks    %8.3f s   speed vs md5sum: %.2fx\n' "$t_blocks" "$(calc "$t_md5sum / $t_blocks")"
printf 'signatures, mapping         %8.3f s   speed vs md5sum: %.2fx\n' "$t_mapped" "$(calc "$t_md5sum / $t_mapped")"
rm -rf "$WORK/dest"

echo "Making a directory file of 100,000 entries ..."
"$BIN" make-dir "$WORK/big.txt" 100000
ls -l "$WORK/big.txt" | awk '{print "directory file size: " $5 " bytes"}'
cat "$WORK/big.txt" > /dev/null
awk_run() { awk '{n+=NF} END{print n}' "$WORK/big.txt"; }
read_run() { "$BIN" read "$WORK/big.txt"; }
t_awk=""; t_read_total=""; t_read_self=""
i=0
while [ $i -lt "$RUNS" ]; do
  t_awk=$(min "$t_awk" "$(timed awk_run)")
  t_read_total=$(min "$t_read_total" "$(timed read_run)")
  t_read_self=$(min "$t_read_self" "$("$BIN" read "$WORK/big.txt" 2>/dev/null)")
  i=$((i + 1))
done
printf 'awk                         %8.3f s\n' "$t_awk"
printf 'read_directory (process)    %8.3f s   speed vs awk: %.2fx\n' "$t_read_total" "$(calc "$t_awk / $t_read_total")"
printf 'read_directory (call)       %8.3f s   speed vs awk: %.2fx\n' "$t_read_self" "$(calc "$t_awk / $t_read_self")"
