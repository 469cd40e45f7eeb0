#!/usr/bin/env bash
# Speed of signed releases (run by hand; not part of the tests):
#
#   bench/installer/run-signed.sh [BUILD_DIR] [WORK_PARENT]
#
#   1. An update with nothing to do of a signed 1 GB, 2,000-file release (the
#      examination hashes every file with SHA-256), against `md5sum` over the
#      installed tree, warm cache.  Goal: installer <= 0.35 x md5sum.
#   2. A fresh install of the same tree published signed, against the same
#      tree published unsigned, from an nginx of our own on loopback.
#      Goal: signed no slower than unsigned.
#
# Each side runs 3 times (RUNS=N to change), taking turns to go first; the
# minimum and the median of each are shown, the ratios are of the minimums.
# Everything lives in a new folder under WORK_PARENT (default $TMPDIR or
# /tmp), removed at the end (KEEP=1 keeps it); nginx is stopped by its pid.
set -euo pipefail
START=$SECONDS
die() { printf '\nThe benchmark stopped: %s\n' "$*" >&2; exit 1; }

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
[ -d "${1:-build}" ] || die "no build folder ${1:-build} (give it as the first argument)"
BUILD=$(cd "${1:-build}" && pwd)
PARENT=${2:-${TMPDIR:-/tmp}}
RUNS=${RUNS:-3}
FILES=${FILES:-2000}
BYTES=${BYTES:-1000000000}
HELPER="$HERE/helper.py"
[ -x "$BUILD/skyvane-installer" ] && [ -x "$BUILD/skyvane-publish" ] || die "build skyvane-installer and skyvane-publish in $BUILD first"
source "$HERE/../../tools/lib/private-nginx.sh"
[ -x "$NGINX_BIN" ] || die "nginx is not installed (apt-get install nginx)"
AVAIL=$(df -P -B1 "$PARENT" | awk 'NR == 2 { print $4 }')
[ "$AVAIL" -ge $((BYTES * 5)) ] || die "the benchmark needs $((BYTES * 5 / 1000000)) MB free at $PARENT"

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

WORK=$(mktemp -d "$PARENT/skyvane-bench-signed-XXXXXX")
TREE="$WORK/tree/Skyvane"
mkdir -p "$WORK/home/.config" "$WORK/tmp" "$WORK/bin" "$WORK/logs" "$WORK/nginx/tmp" "$WORK/keys"
cp "$BUILD/skyvane-installer" "$WORK/bin/skyvane-installer"

echo "== Work folder $WORK"
python3 "$HELPER" make-tree "$TREE" "$FILES" "$BYTES"
KEY="$WORK/keys/release.key"
PUB=$("$BUILD/skyvane-publish" keygen --out "$KEY")
WWW="$WORK/www"
# The same tree twice on one server: signed under /signed/pub/, unsigned
# under /plain/pub/; the server list of the side being timed is put in place
# before each run.
"$BUILD/skyvane-publish" release --tree "$TREE" --version "Bench 1.0" --out "$WWW" --prefix /signed/pub/ \
  --sign "$KEY" | sed 's/^/  signed: /'
"$BUILD/skyvane-publish" release --tree "$TREE" --version "Bench 1.0" --out "$WWW" --prefix /plain/pub/ |
  sed 's/^/  plain:  /'
PROBE="/signed/pub/Bench%201.0/directory.txt.zip"
USER_LINE=""
[ "$(id -u)" = 0 ] && USER_LINE="user $(id -un) $(id -gn);"
private_nginx_start "$WORK/nginx" "$WWW" "$PROBE" "$USER_LINE" "keepalive_requests 100000;" "" ||
  die "nginx did not start"
HOST="127.0.0.1:$PORT"
SERVER_PIDS=$(echo "$NGINX_PID" $(pgrep -P "$NGINX_PID" || true) | tr ' ' ,)
mkdir -p "$WORK/lists"
"$BUILD/skyvane-publish" serverlist --out "$WWW" --beta "Bench 1.0" --server "$HOST" /plain/pub/ Bench >/dev/null
cp "$WWW/serverlist.txt" "$WORK/lists/plain.txt"
"$BUILD/skyvane-publish" serverlist --out "$WWW" --beta "Bench 1.0" --server "$HOST" /signed/pub/ Bench \
  --sign "$KEY" --expires 2 >/dev/null
cp "$WWW/serverlist.txt" "$WORK/lists/signed.txt"
cp "$WWW/serverlist.sig" "$WORK/lists/signed.sig"
use_list() { cp "$WORK/lists/$1.txt" "$WWW/serverlist.txt"; [ "$1" = plain ] || cp "$WORK/lists/$1.sig" "$WWW/serverlist.sig"; }
echo "== nginx pid $NGINX_PID at http://$HOST/"
find "$TREE" "$WWW" -type f -print0 | xargs -0 cat >/dev/null

timed() {  # timed LOG CMD...: sets WALL and CPU, seconds
  local log=$1 out
  shift
  out=$(python3 "$HELPER" time "$WORK/logs/$log" "$SERVER_PIDS" -- "$@") || {
    tail -n 20 "$WORK/logs/$log" >&2 || true
    die "$log failed"
  }
  read -r WALL CPU _SRV <<<"$out"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
meets() { awk -v r="$1" -v g="$2" 'BEGIN { exit !(r <= g) }' && echo "goal met" || echo "GOAL NOT MET"; }
min_of() { python3 "$HELPER" stats "$@" | awk '{ print $2 }'; }

installer() {  # installer LOG SIDE DEST
  local key=()
  [ "$2" = plain ] || key=("--release_key=$PUB")
  use_list "$2"
  timed "$1" env HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" TMPDIR="$WORK/tmp" \
    "$WORK/bin/skyvane-installer" "$3/" --headless --install --accept_eula --pref:_rename_folder=0 \
    --server_list_host="$HOST" "${key[@]}"
}

# ------------------------------------------------------------------ 1. fresh install
echo "== 1. Fresh install of $FILES files / $((BYTES / 1000000)) MB, signed against unsigned, $RUNS runs each"
T_SIGNED=() T_PLAIN=()
fresh_run() {  # fresh_run SIDE I
  rm -rf "$WORK/dest-$1" "$WORK/tmp"
  mkdir -p "$WORK/tmp"
  sync
  installer "install-$1-$2.out" "$1" "$WORK/dest-$1/Skyvane"
  if [ "$2" = 1 ]; then python3 "$HELPER" same "$TREE" "$WORK/dest-$1/Skyvane" >/dev/null || die "the $1 install differs from the tree"; fi
  printf '  run %d  %-7s %7.3f s   processor %.2f s\n' "$2" "$1" "$WALL" "$CPU"
  if [ "$1" = signed ]; then T_SIGNED+=("$WALL"); else T_PLAIN+=("$WALL"); fi
}
for i in $(seq "$RUNS"); do
  if [ $((i % 2)) = 1 ]; then fresh_run plain "$i"; fresh_run signed "$i"; else fresh_run signed "$i"; fresh_run plain "$i"; fi
done

# ------------------------------------------------------------------ 2. nothing to do
echo "== 2. Update of the signed install with nothing to do, against md5sum, $RUNS runs each"
T_UPD=() T_MD5=()
DEST="$WORK/dest-signed/Skyvane"
md5_run() {
  timed "md5sum-$1.out" sh -c 'find "$1" -type f -print0 | xargs -0 md5sum > /dev/null' md5sum-run "$DEST"
  printf '  run %d  md5sum    %7.3f s   processor %.2f s\n' "$1" "$WALL" "$CPU"
  T_MD5+=("$WALL")
}
update_run() {
  installer "update-$1.out" signed "$DEST"
  grep -q "already the latest version" "$WORK/logs/update-$1.out" ||
    die "the update did not say the copy is up to date: $(tail -n 3 "$WORK/logs/update-$1.out")"
  printf '  run %d  installer %7.3f s   processor %.2f s\n' "$1" "$WALL" "$CPU"
  T_UPD+=("$WALL")
}
find "$DEST" -type f -print0 | xargs -0 cat >/dev/null
for i in $(seq "$RUNS"); do
  if [ $((i % 2)) = 1 ]; then md5_run "$i"; update_run "$i"; else update_run "$i"; md5_run "$i"; fi
done

echo
echo "== Results ($(nproc) processors, warm cache; min and median of $RUNS)"
printf '1. fresh install   signed   %s\n' "$(python3 "$HELPER" stats "${T_SIGNED[@]}")"
printf '                   unsigned %s\n' "$(python3 "$HELPER" stats "${T_PLAIN[@]}")"
R1=$(ratio "$(min_of "${T_SIGNED[@]}")" "$(min_of "${T_PLAIN[@]}")")
printf '   RATIO signed / unsigned = %s  (goal <= 1.0: %s)\n' "$R1" "$(meets "$R1" 1.0)"
printf '2. nothing to do   signed   %s\n' "$(python3 "$HELPER" stats "${T_UPD[@]}")"
printf '                   md5sum   %s\n' "$(python3 "$HELPER" stats "${T_MD5[@]}")"
R2=$(ratio "$(min_of "${T_UPD[@]}")" "$(min_of "${T_MD5[@]}")")
printf '   RATIO installer / md5sum = %s  (goal <= 0.35: %s)\n' "$R2" "$(meets "$R2" 0.35)"
echo "(whole run $((SECONDS - START)) s)"
