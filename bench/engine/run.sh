#!/bin/sh
# Speed and memory of the engine against its peers, measured in the same run
# on the same inputs. The compared commands take turns, run after run, so that
# they meet the same load; min and median of RUNS rounds are printed.
#   1. an update with nothing to do over 2,000 files / 1 GB: the disk
#      examination on one and on two hashing threads against md5sum of the
#      same files, warm (files in the page cache) and cold (caches dropped
#      before every run, when this user may write /proc/sys/vm/drop_caches);
#   2. reading and freeing a 100,000-entry directory file against
#      awk '{n+=NF}' over it: the whole process and the call alone;
#   3. a check of a 100,000-entry release (small files, nothing to do):
#      peak memory (maximum resident set) and time against md5sum.
# Usage: bench/engine/run.sh [build folder]   (default: build)
#   SECTIONS="2" bench/engine/run.sh build   runs only the sections named
#   (default: all three); RUNS=n sets the rounds (default 5).
set -eu
BUILD=${1:-build}
BIN=$BUILD/bench/engine/engine_bench
[ -x "$BIN" ] || { echo "build $BIN first: cmake --build $BUILD --target engine_bench" >&2; exit 1; }
WORK=$(mktemp -d "${TMPDIR:-/tmp}/skyvane-bench-XXXXXX")
trap 'rm -rf "$WORK"' EXIT INT TERM
RUNS=${RUNS:-5}
SECTIONS=${SECTIONS:-1 2 3}
# Whether section $1 is to run.
on() { case " $SECTIONS " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }

calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }

# Seconds taken by a command.
timed() {
  s=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  e=$(date +%s.%N)
  calc "$e - $s"
}
# Appends a time to the list named $1.
add() { eval "$1=\"\${$1:-} $2\""; }
# "min median" of a list of times.
stats() { echo $1 | tr ' ' '\n' | sort -g | awk '{v[NR]=$1} END {printf "%.3f %.3f", v[1], v[int((NR+1)/2)]}'; }
# One result line: label, list, and the list of the reference (ratio of medians: reference / this, >1 is faster).
show() {
  set -- "$1" "$(stats "$2")" "$(stats "$3")"
  med=${2#* }; ref=${3#* }
  printf '%-34s min %7.3f s  median %7.3f s  speed vs %s: %.2fx\n' "$1" "${2% *}" "$med" "$REF" "$(calc "$ref / $med")"
}
can_drop() { (echo 3 > /proc/sys/vm/drop_caches) 2>/dev/null; }
drop() { sync; echo 3 > /proc/sys/vm/drop_caches; }

md5sum_run() { xargs md5sum < "$WORK/files.txt"; }
scan1() { "$BIN" scan "$WORK/dest/" "$WORK/directory.txt" 1; }
scan2() { "$BIN" scan "$WORK/dest/" "$WORK/directory.txt" 2; }

# ------------------------------------------------------------------ 1
if on 1; then
echo "Making 2,000 files / 1 GB in $WORK ..."
mkdir -p "$WORK/dest"
"$BIN" make-tree "$WORK/dest/" 2000 1000000000 "$WORK/directory.txt" match
find "$WORK/dest" -type f | sort > "$WORK/files.txt"
du -sh "$WORK/dest" | cut -f1 | sed 's/^/tree size: /'

for temp in warm cold; do
  if [ $temp = cold ] && ! can_drop; then
    echo "cold runs skipped: this user may not drop the page cache"
    continue
  fi
  t_md5=""; t_s1=""; t_s2=""
  cat $(cat "$WORK/files.txt") > /dev/null
  i=0
  while [ $i -lt "$RUNS" ]; do
    [ $temp = cold ] && drop; add t_md5 "$(timed md5sum_run)"
    [ $temp = cold ] && drop; add t_s1 "$(timed scan1)"
    [ $temp = cold ] && drop; add t_s2 "$(timed scan2)"
    i=$((i + 1))
  done
  REF=md5sum
  echo "-- nothing to do, 2,000 files, $temp, $RUNS rounds"
  printf '%-34s min %7.3f s  median %7.3f s\n' "md5sum" $(stats "$t_md5")
  show "examination, 1 thread (process)" "$t_s1" "$t_md5"
  show "examination, 2 threads (process)" "$t_s2" "$t_md5"
done
rm -rf "$WORK/dest"
fi

# ------------------------------------------------------------------ 2
if on 2; then
echo "Making a directory file of 100,000 entries ..."
"$BIN" make-dir "$WORK/big.txt" 100000
ls -l "$WORK/big.txt" | awk '{print "directory file size: " $5 " bytes"}'
cat "$WORK/big.txt" > /dev/null
awk_run() { awk '{n+=NF} END{print n}' "$WORK/big.txt"; }
read_run() { "$BIN" read "$WORK/big.txt"; }
t_awk=""; t_read_total=""; t_read_self=""
i=0
while [ $i -lt "$RUNS" ]; do
  add t_awk "$(timed awk_run)"
  add t_read_total "$(timed read_run)"
  add t_read_self "$("$BIN" read "$WORK/big.txt" 2>/dev/null)"
  i=$((i + 1))
done
REF=awk
echo "-- read and free 100,000 entries, warm, $RUNS rounds"
printf '%-34s min %7.3f s  median %7.3f s\n' "awk" $(stats "$t_awk")
show "read_directory (process)" "$t_read_total" "$t_awk"
show "read_directory (call)" "$t_read_self" "$t_awk"
fi

# ------------------------------------------------------------------ 3
if on 3; then
echo "Making 100,000 files / 100 MB ..."
mkdir -p "$WORK/dest"
"$BIN" make-tree "$WORK/dest/" 100000 100000000 "$WORK/directory.txt" match
find "$WORK/dest" -type f | sort > "$WORK/files.txt"
if [ -x /usr/bin/time ]; then
  /usr/bin/time -f '%M' -o "$WORK/rss" "$BIN" scan "$WORK/dest/" "$WORK/directory.txt" >/dev/null 2>&1
  echo "peak memory of a check of 100,000 entries: $(( $(cat "$WORK/rss") / 1024 )) MB (maximum resident set)"
else
  echo "peak memory not measured: /usr/bin/time is missing"
fi
t_md5=""; t_s2=""
i=0
while [ $i -lt "$RUNS" ]; do
  add t_md5 "$(timed md5sum_run)"
  add t_s2 "$(timed scan2)"
  i=$((i + 1))
done
REF=md5sum
echo "-- nothing to do, 100,000 files, warm, $RUNS rounds"
printf '%-34s min %7.3f s  median %7.3f s\n' "md5sum" $(stats "$t_md5")
show "examination, 2 threads (process)" "$t_s2" "$t_md5"
fi
