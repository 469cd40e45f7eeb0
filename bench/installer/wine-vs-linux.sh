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
#
# KIND=text makes FILES text files of 1-20 KB (compressing about 3:1) plus
# one file of BYTES incompressible bytes instead, the shape of a release of
# data files and one large archive.
#
# Each run's time is split: the installer's own processor time (user and
# system, the Wine process with its threads), the Wine server's processor
# time over the same span (every file creation, rename, wait and socket
# call of the Windows program goes through it), and the rest, spent
# waiting. PROFILE=1 adds one untimed run of each under perf, printing
# where their processor time goes by library (the Windows program's own
# code shows as the .exe, Wine's as ntdll.so, win32u, ws2_32 and the like,
# the kernel's as [kernel]) and the Wine server's share.
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
if [ "${KIND:-random}" = text ]; then
  python3 "$HERE/helper.py" make-files "$WORK/tree/Skyvane" "$FILES" 1000 20000 2 text >/dev/null
  python3 "$HERE/helper.py" make-tree "$WORK/tree/Skyvane/Large" 1 "$BYTES" >/dev/null
else
  python3 "$HERE/helper.py" make-tree "$WORK/tree/Skyvane" "$FILES" "$BYTES" >/dev/null
fi
"$LIN/skyvane-publish" release --tree "$WORK/tree/Skyvane" --version "Bench 1.0" --out "$WORK/www" --prefix /pub/ >/dev/null
USER_LINE=""
[ "$(id -u)" = 0 ] && USER_LINE="user $(id -un) $(id -gn);"
private_nginx_start "$WORK/nginx" "$WORK/www" "/pub/Bench%201.0/directory.txt.zip" "$USER_LINE" "" "" ||
  die "nginx did not start"
HOST="127.0.0.1:$PORT"
export WORK WIN HOST  # the runs below are timed in a shell of their own
"$LIN/skyvane-publish" serverlist --out "$WORK/www" --beta "Bench 1.0" --final "Bench 1.0" \
  --server "$HOST" /pub/ "Loopback" >/dev/null
cp "$LIN/skyvane-installer" "$WORK/bin/"
cp "$WIN/skyvane-installer.exe" "$WORK/bin/"
find "$WORK/www" -type f -print0 | xargs -0 cat >/dev/null
"$WIN/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1 || true  # the prefix made and the server up, untimed
# The Wine server of the build's prefix (it stays up a minute after each
# program; the run above started it): found by the prefix in its
# environment, as other prefixes' servers may run beside it.
wine_server_pid() {
  local p
  for p in $(pgrep -x wineserver || true) $(pgrep -f 'wineserver' || true); do
    tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WIN/wineprefix" && { echo "$p"; return; }
  done
}

linux_run() {
  HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" TMPDIR="$WORK/tmp" \
    "$WORK/bin/skyvane-installer" "$WORK/dest-linux/" --headless --install --accept_eula \
    --pref:_rename_folder=0 --server_list_host="$HOST" >/dev/null 2>&1
}
wine_run() {
  "$WIN/wine-run.sh" "$WORK/bin/skyvane-installer.exe" "Z:$WORK/dest-win/" --headless --install --accept_eula \
    --pref:_rename_folder=0 --server_list_host="$HOST" >/dev/null 2>&1
}
# timed NAME CMD...: prints the wall time; keeps "wall own server" seconds
# in $WORK/NAME.split (own: the command and its children; server: the Wine
# server of the prefix over the same span).
timed() {
  local name=$1 out
  shift
  out=$(python3 "$HERE/helper.py" time "$WORK/$name.log" "$(wine_server_pid)" -- \
    bash -c "$(declare -f linux_run wine_run); $*") || die "$1 failed"
  echo "$out" >>"$WORK/$name.split"
  echo "${out%% *}"
}
stats() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {printf "min %7.3f s  median %7.3f s", v[1], v[int((NR+1)/2)]}'; }
L=(); W=()
for r in $(seq "$ROUNDS"); do
  rm -rf "$WORK/dest-linux" "$WORK/dest-win"; sync
  "$WIN/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1 || true  # the server up before the timing starts
  if [ $((r % 2)) = 1 ]; then L+=("$(timed linux linux_run)"); W+=("$(timed wine wine_run)")
  else W+=("$(timed wine wine_run)"); L+=("$(timed linux linux_run)"); fi
done
same="the two installed trees are identical"
cmp -s <(cd "$WORK/dest-linux" && find . -type f -print0 | sort -z | xargs -0 md5sum) \
  <(cd "$WORK/dest-win" && find . -type f -print0 | sort -z | xargs -0 md5sum) || same="the installed trees DIFFER"
echo "fresh install of $FILES files / $BYTES bytes, warm, $ROUNDS rounds; $same"
echo "  Linux installer           $(stats "${L[@]}")"
echo "  Windows installer (Wine)  $(stats "${W[@]}")"
split() {  # the run of median wall time: wall, own processor, Wine server, waiting
  sort -g "$WORK/$1.split" | awk '{ w[NR] = $1; c[NR] = $2; s[NR] = $3 }
    END { m = int((NR + 1) / 2); printf "wall %.3f s = own processor %.3f s + Wine server %.3f s + waiting %.3f s", w[m], c[m], s[m], w[m] - c[m] - s[m] }'
}
echo "  median run, Linux:   $(split linux)"
echo "  median run, Windows: $(split wine)"
if [ "${PROFILE:-0}" = 1 ] && command -v perf >/dev/null; then
  for side in linux wine; do
    rm -rf "$WORK/dest-linux" "$WORK/dest-win"; sync
    "$WIN/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1 || true
    run=linux_run
    [ "$side" = linux ] || run=wine_run
    # Every process of the machine is sampled (the Wine server is not a
    # child of the program); the report keeps the installer's and the
    # server's (named wineserver64 on 64-bit systems).
    perf record -q -a -g -F 999 -o "$WORK/perf-$side.data" -- bash -c "$(declare -f linux_run wine_run); $run" \
      >/dev/null 2>&1 || true
    echo "  profile, $side (share of the samples of the installer's and the Wine server's processes):"
    perf report -i "$WORK/perf-$side.data" --stdio --no-children -g none --sort comm,dso \
      --comms skyvane-install,wineserver,wineserver64 2>/dev/null |
      grep -E '^ +[0-9.]+%' | head -n 16 | cut -c1-100 | sed 's/^/    /'
    [ -z "${PERF_OUT:-}" ] || cp "$WORK/perf-$side.data" "$PERF_OUT.$side"
  done
fi
