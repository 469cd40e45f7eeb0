#!/usr/bin/env bash
# The Windows installer under Wine beside the Linux installer, on the same
# release, server, disk and machine (run by hand; not a test):
#
#   bench/installer/wine-vs-linux.sh [LINUX_BUILD] [WINDOWS_BUILD] [FILES] [BYTES]
#
# Makes a release of FILES incompressible files, BYTES in all (default the
# installer bench's 2,000 files / 500 MB), serves it from a private nginx on
# loopback and times fresh unattended installs with both programs, taking
# turns, ROUNDS times (default 3); prints min and median of each. Warm cache:
# the release is read once before the first run. The Windows program runs
# through the build's Wine wrapper (its private prefix), into a folder of
# this work folder seen through drive Z:.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
LIN=$(cd "${1:-build}" && pwd)
WIN=$(cd "${2:-build-win}" && pwd)
FILES=${3:-2000}
BYTES=${4:-500000000}
ROUNDS=${ROUNDS:-3}
die() { echo "wine-vs-linux.sh: $*" >&2; exit 1; }
[ -x "$LIN/skyvane-installer" ] && [ -x "$LIN/skyvane-publish" ] || die "build $LIN first (make build)"
[ -f "$WIN/skyvane-installer.exe" ] && [ -x "$WIN/wine-run.sh" ] || die "build $WIN first (make windows)"
source "$HERE/../../tools/lib/private-nginx.sh"
[ -x "$NGINX_BIN" ] || die "nginx is not installed"

WORK=""
cleanup() {
  trap - EXIT INT TERM
  private_nginx_stop
  [ -n "$WORK" ] && rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
WORK=$(mktemp -d "${TMPDIR:-/tmp}/skyvane-wine-bench-XXXXXX")
mkdir -p "$WORK/home/.config" "$WORK/tmp" "$WORK/bin"
python3 "$HERE/helper.py" make-tree "$WORK/tree/Skyvane" "$FILES" "$BYTES" >/dev/null
"$LIN/skyvane-publish" release --tree "$WORK/tree/Skyvane" --version "Bench 1.0" --out "$WORK/www" --prefix /pub/ >/dev/null
USER_LINE=""
[ "$(id -u)" = 0 ] && USER_LINE="user $(id -un) $(id -gn);"
private_nginx_start "$WORK/nginx" "$WORK/www" "/pub/Bench%201.0/directory.txt.zip" "$USER_LINE" "" "" ||
  die "nginx did not start"
HOST="127.0.0.1:$PORT"
"$LIN/skyvane-publish" serverlist --out "$WORK/www" --beta "Bench 1.0" --final "Bench 1.0" \
  --server "$HOST" /pub/ "Loopback" >/dev/null
cp "$LIN/skyvane-installer" "$WORK/bin/"
cp "$WIN/skyvane-installer.exe" "$WORK/bin/"
find "$WORK/www" -type f -print0 | xargs -0 cat >/dev/null
"$WIN/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1 || true  # the prefix made and the server up, untimed

linux_run() {
  HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" TMPDIR="$WORK/tmp" \
    "$WORK/bin/skyvane-installer" "$WORK/dest-linux/" --headless --install --accept_eula \
    --pref:_rename_folder=0 --server_list_host="$HOST" >/dev/null 2>&1
}
wine_run() {
  "$WIN/wine-run.sh" "$WORK/bin/skyvane-installer.exe" "Z:$WORK/dest-win/" --headless --install --accept_eula \
    --pref:_rename_folder=0 --server_list_host="$HOST" >/dev/null 2>&1
}
timed() {
  local s e
  s=$(date +%s.%N)
  "$@" || die "$1 failed"
  e=$(date +%s.%N)
  echo "$e - $s" | bc
}
stats() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {printf "min %7.3f s  median %7.3f s", v[1], v[int((NR+1)/2)]}'; }
L=(); W=()
for r in $(seq "$ROUNDS"); do
  rm -rf "$WORK/dest-linux" "$WORK/dest-win"; sync
  if [ $((r % 2)) = 1 ]; then L+=("$(timed linux_run)"); W+=("$(timed wine_run)")
  else W+=("$(timed wine_run)"); L+=("$(timed linux_run)"); fi
done
same="the two installed trees are identical"
cmp -s <(cd "$WORK/dest-linux" && find . -type f -print0 | sort -z | xargs -0 md5sum) \
  <(cd "$WORK/dest-win" && find . -type f -print0 | sort -z | xargs -0 md5sum) || same="the installed trees DIFFER"
echo "fresh install of $FILES files / $BYTES bytes, warm, $ROUNDS rounds; $same"
echo "  Linux installer           $(stats "${L[@]}")"
echo "  Windows installer (Wine)  $(stats "${W[@]}")"
