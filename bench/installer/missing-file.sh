#!/usr/bin/env bash
# What a file missing on every server costs (run by hand; not a test):
#
#   bench/installer/missing-file.sh [BUILD_DIR] [SECONDS]
#
# Publishes a small release (20 files), deletes one file's archive from the
# server, serves it from a private nginx on loopback, and runs the unattended
# install for at most SECONDS (default 60). Prints how many requests the
# server received, how many of them asked for the missing archive, how many
# bytes the installer's log grew to, the exit status and the time the run
# took (or "still running" when it had to be stopped).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "${1:-build}" && pwd)
LIMIT=${2:-60}
die() { echo "missing-file.sh: $*" >&2; exit 1; }
[ -x "$BUILD/skyvane-installer" ] || die "$BUILD/skyvane-installer is not built"
PUBLISH=${PUBLISH:-$BUILD/skyvane-publish}
[ -x "$PUBLISH" ] || die "$PUBLISH is not built (PUBLISH=path to use another)"
source "$HERE/../../tools/lib/private-nginx.sh"
[ -x "$NGINX_BIN" ] || die "nginx is not installed (apt-get install nginx)"

WORK=""
cleanup() {
  trap - EXIT INT TERM
  private_nginx_stop
  [ -n "$WORK" ] && rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
WORK=$(mktemp -d "${TMPDIR:-/tmp}/skyvane-missing-XXXXXX")
TREE="$WORK/tree/Skyvane"
mkdir -p "$TREE/Hangar" "$WORK/home/.config" "$WORK/tmp" "$WORK/bin"
for i in $(seq 1 20); do head -c $((i * 3000)) /dev/urandom >"$TREE/Hangar/part $i.shape"; done
"$PUBLISH" release --tree "$TREE" --version "Gap 1.0" --out "$WORK/www" --prefix /pub/ >/dev/null
rm "$WORK/www/pub/Gap 1.0/Skyvane/Hangar/part 7.shape.zip"
USER_LINE=""
[ "$(id -u)" = 0 ] && USER_LINE="user $(id -un) $(id -gn);"
private_nginx_start "$WORK/nginx" "$WORK/www" "/pub/Gap%201.0/directory.txt.zip" "$USER_LINE" "" "" ||
  die "nginx did not start"
"$PUBLISH" serverlist --out "$WORK/www" --beta "Gap 1.0" --final "Gap 1.0" \
  --server "127.0.0.1:$PORT" /pub/ "Loopback" >/dev/null
cp "$BUILD/skyvane-installer" "$WORK/bin/"

start=$(date +%s.%N)
set +e
HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" TMPDIR="$WORK/tmp" \
  timeout -s KILL "$LIMIT" "$WORK/bin/skyvane-installer" "$WORK/dest/" --headless --install --accept_eula \
  --server_list_host="127.0.0.1:$PORT" >"$WORK/out.txt" 2>&1
status=$?
set -e
end=$(date +%s.%N)
requests=$(wc -l <"$WORK/nginx/access.log")
missing=$(grep -c "part%207.shape.zip\|part 7.shape.zip" "$WORK/nginx/access.log" || true)
log_bytes=$(stat -c %s "$WORK/bin/Log.txt" 2>/dev/null || echo 0)
if [ "$status" = 137 ]; then state="still running, stopped after $LIMIT s"; else state="exit $status"; fi
printf 'requests %d (for the missing archive: %d)   log %d bytes   %s after %.1f s\n' \
  "$requests" "$missing" "$log_bytes" "$state" "$(echo "$end - $start" | bc)"
echo
