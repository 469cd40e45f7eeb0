#!/usr/bin/env bash
# Speed of the installer against its peers, measured in the same run on the
# same data and disk, warm cache for both (run by hand; not part of the tests):
#
#   bench/installer/run-bench.sh [BUILD_DIR] [WORK_PARENT]
#
#   1. Fresh unattended install of a 500 MB, 2,000-file release (incompressible
#      bytes in 36 folders) from an nginx of our own on loopback, against
#      `aria2c -j4` fetching the same 2,000 archives into a folder, then ONE
#      python3 process extracting them all with its zipfile module.
#      Goal: installer <= 1.2 x (aria2c + python3).
#   2. An update with nothing to do (the installer run again on the installed
#      tree: every file's MD5 is examined, no archive is fetched), against
#      `md5sum` over the installed tree.  Goal: installer <= 1.2 x md5sum.
#
# Each side runs 3 times (RUNS=N to change), the two sides taking turns to go
# first, and the best time of each is compared. Besides the time, each run
# shows the processor time it used, its own and nginx's (less disturbed by
# other work on the machine than the time is).
#
# Fair to both sides:
#   - aria2c flushes each finished file with fsync, which the installer does
#     not do, so the timed aria2c runs with fsync made a no-op (nofsync.cpp,
#     preloaded; built with c++ if there is one). FSYNC_PEER=1 also times
#     plain aria2c once at the end, for information (20-30 s on a busy disk).
#   - Before each timed run the earlier outputs are cleared and `sync` writes
#     out what the last run left in memory (nothing is dropped from the page
#     cache), so that no run pays for the disk writes of the one before.
#   - Deleting thousands of files slows the creation of files that follows
#     on some file systems: ext4 without a journal skips, one by one, the
#     inodes freed in the last vm.dirty_expire_centisecs (30 s). So with
#     6.5 GB free, earlier outputs are moved aside instead and deleted at the
#     end (with less, 3 GB at least, they are deleted between runs), and each
#     timed run of measurement 1 waits that long first (PAUSE=seconds to change), so
#     that it pays only for the files it deletes itself (the installer its
#     downloaded archives, aria2c its control files).
#
# Everything lives in a new folder under WORK_PARENT (default $TMPDIR or /tmp);
# nginx is stopped by its pid and the folder removed at the end, also on
# Ctrl-C or failure (KEEP=1 keeps the folder). Needs nginx, aria2c, curl and
# python3:   apt-get install nginx aria2 curl python3
# The installer runs with HOME, XDG_CONFIG_HOME and TMPDIR inside the work
# folder, from a copy of the binary there (so its Log.txt lands there too).
set -euo pipefail
START=$SECONDS

die() { printf '\nThe benchmark stopped: %s\n' "$*" >&2; exit 1; }

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[ -d "${1:-build}" ] || die "no build folder ${1:-build} (give it as the first argument)"
BUILD=$(cd "${1:-build}" && pwd)
PARENT=${2:-${TMPDIR:-/tmp}}
[ -d "$PARENT" ] || die "no folder $PARENT"
RUNS=${RUNS:-3}
FILES=2000
BYTES=500000000
VERSION="Bench 1.0"
HELPER="$HERE/helper.py"

[ -x "$BUILD/skyvane-installer" ] || die "$BUILD/skyvane-installer is not built (cmake --build $BUILD --target skyvane-installer)"
[ -x "$BUILD/skyvane-publish" ] || die "$BUILD/skyvane-publish is not built (cmake --build $BUILD --target skyvane-publish)"
source "$HERE/../../tools/lib/private-nginx.sh"
[ -x "$NGINX_BIN" ] || die "nginx is not installed (apt-get install nginx)"
command -v aria2c >/dev/null || die "aria2c is not installed (apt-get install aria2)"
command -v curl >/dev/null || die "curl is not installed (apt-get install curl)"
command -v python3 >/dev/null || die "python3 is not installed (apt-get install python3)"

# The source tree, the published release, the peers' two copies and the
# installed copy live here at once: about 3 GB; keeping every run's outputs
# until the end takes about 6.5 GB.
AVAIL=$(df -P -B1 "$PARENT" | awk 'NR == 2 { print $4 }')
[ "$AVAIL" -ge 3000000000 ] ||
  die "only $((AVAIL / 1000000)) MB free at $PARENT; the benchmark needs 3 GB (give another folder as the second argument)"
SET_ASIDE=0
[ "$AVAIL" -ge 6500000000 ] && SET_ASIDE=1
EXPIRE=$(cat /proc/sys/vm/dirty_expire_centisecs 2>/dev/null || echo 3000)
PAUSE=${PAUSE:-$((EXPIRE / 100 + 1))}

# ------------------------------------------------------------------ clean-up
WORK=""
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  private_nginx_stop
  if [ -n "$WORK" ] && [ -d "$WORK" ]; then
    if [ "${KEEP:-0}" = 1 ]; then echo "(kept $WORK)"; else rm -rf "$WORK"; fi
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'echo; echo "Interrupted."; exit 130' INT TERM

WORK=$(mktemp -d "$PARENT/skyvane-bench-installer-XXXXXX")
TREE="$WORK/tree/Skyvane"
WWW="$WORK/www"
NGX="$WORK/nginx"
REL="$WWW/pub/$VERSION"
mkdir -p "$WORK/home/.config" "$WORK/tmp" "$WORK/bin" "$WORK/logs" "$WORK/old" "$NGX/tmp"
cp "$BUILD/skyvane-installer" "$WORK/bin/skyvane-installer"

# ------------------------------------------------------------------ data
echo "== Work folder $WORK ($((AVAIL / 1000000000)) GB free)"
python3 "$HELPER" make-tree "$TREE" "$FILES" "$BYTES"
"$BUILD/skyvane-publish" release --tree "$TREE" --version "$VERSION" --out "$WWW" --prefix /pub/ |
  sed 's/^/  /'

# ------------------------------------------------------------------ nginx
PROBE="/pub/$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1]))' "$VERSION")/directory.txt.zip"
USER_LINE=""
[ "$(id -u)" = 0 ] && USER_LINE="user $(id -un) $(id -gn);"
private_nginx_start "$NGX" "$WWW" "$PROBE" "$USER_LINE" "keepalive_requests 100000;" "" ||
  die "nginx did not start (its log is above)"
HOST="127.0.0.1:$PORT"
# The master and its worker: their processor time is counted to each run.
SERVER_PIDS=$(echo "$NGINX_PID" $(pgrep -P "$NGINX_PID" || true) | tr ' ' ,)
"$BUILD/skyvane-publish" serverlist --out "$WWW" --beta "$VERSION" --final "$VERSION" \
  --server "$HOST" /pub/ "Bench server on loopback" >/dev/null
python3 "$HELPER" urls "$WWW" "$REL" "$HOST" "$WORK/urls.txt" | sed 's/^/  /'
echo "== nginx pid $NGINX_PID serving $WWW at http://$HOST/"

NOFSYNC=""
if command -v c++ >/dev/null && c++ -shared -fPIC -O2 -o "$WORK/nofsync.so" "$HERE/nofsync.cpp"; then
  NOFSYNC="$WORK/nofsync.so"
else
  echo "(no C++ compiler: aria2c keeps its fsync calls, which favours the installer)"
fi
echo "(each timed run of measurement 1 starts $PAUSE s after the outputs before it were cleared)"
if [ "$SET_ASIDE" = 1 ]; then
  echo "(earlier outputs are moved aside between runs and deleted at the end)"
else
  echo "(less than 6.5 GB free: earlier outputs are deleted between runs; times are noisier)"
fi

# Warm cache: the source tree and the archives.
find "$TREE" "$WWW" -type f -print0 | xargs -0 cat >/dev/null

# ------------------------------------------------------------------ helpers
# Archives fetched so far (the directory file not counted).
archive_gets() { { grep '"GET [^"]*\.zip HTTP' "$NGX/access.log" || true; } | { grep -vc 'directory\.txt\.zip' || true; }; }
add() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a + b }'; }
min() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b + 0 < a + 0) print b; else print a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
meets() { awk -v r="$1" -v g="$2" 'BEGIN { exit !(r <= g) }' && echo "goal met" || echo "GOAL NOT MET"; }

# timed LOG CMD...: sets WALL, CPU (the command's) and SRV (nginx's), seconds.
timed() {
  local log=$1 out
  shift
  out=$(python3 "$HELPER" time "$WORK/logs/$log" "$SERVER_PIDS" -- "$@") || {
    tail -n 20 "$WORK/logs/$log" >&2 || true
    die "$1 failed (its output is above; logs/$log)"
  }
  read -r WALL CPU SRV <<<"$out"
}

# fresh DIR...: empties the folders, moving their contents aside when there is room.
N_ASIDE=0
fresh() {
  for d in "$@"; do
    if [ -e "$d" ] && [ "$SET_ASIDE" = 1 ]; then
      N_ASIDE=$((N_ASIDE + 1))
      mv "$d" "$WORK/old/$N_ASIDE"
    else
      rm -rf "$d"
    fi
    mkdir -p "$d"
  done
  sync  # what the last run wrote goes to the disk now, not during the next run
  sleep "$PAUSE"  # inodes freed so far are no longer skipped when files are made
}

DEST_PARENT="$WORK/dest"
DEST="$DEST_PARENT/Skyvane"
DL="$WORK/peer-download"
PX="$WORK/peer-tree"

aria() {  # aria LOG [PRELOAD]: aria2c -j4 fetching every archive into $DL
  local preload=()
  [ -z "${2:-}" ] || preload=("LD_PRELOAD=$2")
  timed "$1" env "${preload[@]}" aria2c -q -j4 -x1 -s1 --file-allocation=none --allow-overwrite=true \
    --auto-file-renaming=false --no-conf -d "$DL" -i "$WORK/urls.txt"
}

installer() {  # installer LOG: one unattended run on $DEST
  timed "$1" env HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" TMPDIR="$WORK/tmp" \
    "$WORK/bin/skyvane-installer" "$DEST/" --headless --install --accept_eula --server_list_host="$HOST"
}

# ------------------------------------------------------------------ 1. fresh install
BEST_PEER="" BEST_INST="" CPU_PEER="" CPU_INST=""
peer_run() {  # peer_run I
  fresh "$DL" "$PX"
  aria "aria2c-$1.out" "$NOFSYNC"
  local a_wall=$WALL a_cpu=$CPU a_srv=$SRV
  timed "extract-$1.out" python3 "$HELPER" extract "$DL" "$PX"
  local wall cpu srv
  wall=$(add "$a_wall" "$WALL"); cpu=$(add "$a_cpu" "$CPU"); srv=$(add "$a_srv" "$SRV")
  if [ "$1" = 1 ]; then python3 "$HELPER" same "$TREE" "$PX/Skyvane" >/dev/null || die "the peers' tree differs from the source"; fi
  printf '  run %d  peers     %7.3f s  (aria2c -j4 %.3f s + python3 zipfile %.3f s)   processor %.2f s + nginx %.2f s\n' \
    "$1" "$wall" "$a_wall" "$WALL" "$cpu" "$srv"
  BEST_PEER=$(min "$BEST_PEER" "$wall"); CPU_PEER=$(min "$CPU_PEER" "$(add "$cpu" "$srv")")
}
installer_run() {  # installer_run I
  fresh "$DEST_PARENT" "$WORK/tmp"
  local before got
  before=$(archive_gets)
  installer "install-$1.out"
  got=$(( $(archive_gets) - before ))
  [ "$got" = "$FILES" ] || die "the installer fetched $got archives, not $FILES"
  if [ "$1" = 1 ]; then python3 "$HELPER" same "$TREE" "$DEST" >/dev/null || die "the installed tree differs from the source"; fi
  printf '  run %d  installer %7.3f s   %50s processor %.2f s + nginx %.2f s\n' "$1" "$WALL" "" "$CPU" "$SRV"
  BEST_INST=$(min "$BEST_INST" "$WALL"); CPU_INST=$(min "$CPU_INST" "$(add "$CPU" "$SRV")")
}

echo "== 1. Fresh install of $FILES files / $((BYTES / 1000000)) MB, best of $RUNS"
for i in $(seq "$RUNS"); do
  if [ $((i % 2)) = 1 ]; then peer_run "$i"; installer_run "$i"; else installer_run "$i"; peer_run "$i"; fi
done
R1=$(ratio "$BEST_INST" "$BEST_PEER")
# The installed tree of the last installer run stays for the update below.

# ------------------------------------------------------------------ 2. nothing to do
echo "== 2. Update with nothing to do, best of $RUNS"
BEST_MD5="" BEST_UPD=""
md5_run() {
  timed "md5sum-$1.out" sh -c 'find "$1" -type f -print0 | xargs -0 md5sum > /dev/null' md5sum-run "$DEST"
  printf '  run %d  md5sum    %7.3f s   processor %.2f s\n' "$1" "$WALL" "$CPU"
  BEST_MD5=$(min "$BEST_MD5" "$WALL")
}
update_run() {
  local before got
  before=$(archive_gets)
  installer "update-$1.out"
  got=$(( $(archive_gets) - before ))
  [ "$got" = 0 ] || die "the update with nothing to do fetched $got archives"
  grep -q "already the latest version" "$WORK/logs/update-$1.out" ||
    die "the update did not say the copy is up to date: $(tail -n 3 "$WORK/logs/update-$1.out")"
  printf '  run %d  installer %7.3f s   processor %.2f s + nginx %.2f s\n' "$1" "$WALL" "$CPU" "$SRV"
  BEST_UPD=$(min "$BEST_UPD" "$WALL")
}
for i in $(seq "$RUNS"); do
  if [ $((i % 2)) = 1 ]; then md5_run "$i"; update_run "$i"; else update_run "$i"; md5_run "$i"; fi
done
R2=$(ratio "$BEST_UPD" "$BEST_MD5")

# ------------------------------------------------------------------ for information
T_ARIA_SYNC=""
if [ -n "$NOFSYNC" ] && [ "${FSYNC_PEER:-0}" = 1 ]; then
  PAUSE=0 fresh "$DL"
  aria aria2c-fsync.out ""
  T_ARIA_SYNC=$WALL
fi

echo
echo "== Results (best of $RUNS, $(nproc) processors, warm cache)"
printf '1. fresh install   installer %7.3f s   peers (aria2c -j4 + python3 zipfile) %7.3f s\n' "$BEST_INST" "$BEST_PEER"
printf '   processor time, least of the runs, nginx included: installer %.2f s, peers %.2f s\n' "$CPU_INST" "$CPU_PEER"
[ -z "$T_ARIA_SYNC" ] || printf '   (plain aria2c -j4, with its fsync per file, once: %.3f s; not used for the ratio)\n' "$T_ARIA_SYNC"
printf '   RATIO installer / peers = %s  (goal <= 1.2: %s)\n' "$R1" "$(meets "$R1" 1.2)"
printf '2. nothing to do   installer %7.3f s   md5sum %7.3f s\n' "$BEST_UPD" "$BEST_MD5"
printf '   RATIO installer / md5sum = %s  (goal <= 1.2: %s)\n' "$R2" "$(meets "$R2" 1.2)"
echo "(whole run $((SECONDS - START)) s)"
