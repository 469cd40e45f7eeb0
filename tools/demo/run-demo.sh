#!/usr/bin/env bash
# The demonstration: publishes two releases of a demo simulator tree, serves
# them from an nginx of its own on a free loopback port, and installs release
# A and then updates to release B with the real installer.
#
#   tools/demo/run-demo.sh BUILD_DIR        (what `make demo` runs)
#
# Everything goes to BUILD_DIR/demo/ (made afresh at each run): the trees,
# the published releases, the web server's configuration, pid file and logs,
# and the installed tree. The web server is stopped by its own pid when the
# demo ends, also on Ctrl-C; the system's nginx is never touched.
#
# With a display (DISPLAY set) the installer shows its window; without one,
# or with SKYVANE_DEMO_HEADLESS=1, it runs unattended and prints its progress.
set -euo pipefail

BUILD=${1:-build}
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=$(cd "$BUILD" && pwd)
PUBLISH="$BUILD/skyvane-publish"
INSTALLER="$BUILD/skyvane-installer"
TREES="$ROOT/tools/demo/demo-tree.py"
DEMO="$BUILD/demo"
WWW="$DEMO/www"
NGX="$DEMO/nginx"
PREFIX=/pub/skyvane/
VERSION_A="Skyvane Demo 1.0"
VERSION_B="Skyvane Demo 1.1"
START=$SECONDS

say() { printf '\n== %s\n' "$*"; }
die() { printf '\nThe demo stopped: %s\n' "$*" >&2; exit 1; }

[ -x "$PUBLISH" ] || die "$PUBLISH is not built (run make demo, which builds it)"
source "$ROOT/tools/lib/private-nginx.sh"
[ -x "$NGINX_BIN" ] || die "nginx is not installed (make deps installs it)"
command -v python3 >/dev/null || die "python3 is not installed (make deps installs it)"
command -v curl >/dev/null || die "curl is not installed (make deps installs it)"

# ------------------------------------------------------------------ web server
stop_nginx() {
  local pid=$NGINX_PID
  private_nginx_stop
  [ -n "$pid" ] && echo "(stopped the demo's web server, pid $pid)"
  return 0
}
trap stop_nginx EXIT
trap 'echo; echo "Interrupted."; exit 130' INT TERM

start_nginx() {
  local user_line=""
  if [ "$(id -u)" = 0 ]; then
    # The worker processes drop to "nobody" when they can read the files;
    # otherwise they run as the owner of the demo folder.
    chmod -R a+rX "$WWW"
    if runuser -u nobody -- test -r "$WWW$PREFIX$VERSION_A/directory.txt.zip" 2>/dev/null; then
      user_line="user nobody nogroup;"
    else
      user_line="user $(stat -c '%U %G' "$DEMO");"
    fi
  fi
  # Beside the plain server, the same files over HTTPS on a second port,
  # with a certificate made for this demo (its root is given to the
  # installer with --ca_file). Its own access log tells its fetches apart.
  TLS_PORT=$(private_nginx_free_port)
  local tls_server="server { listen 127.0.0.1:$TLS_PORT ssl; root $WWW; autoindex on;
    ssl_certificate $CERTS/good.pem; ssl_certificate_key $CERTS/good.key;
    access_log $NGX/tls-access.log; }"
  private_nginx_start "$NGX" "$WWW" / "$user_line" "$tls_server" "autoindex on;" ||
    die "nginx did not start (its log is above)"
}

serverlist() {  # serverlist VERSION SERVER: the list and its signed statement
  "$PUBLISH" serverlist --out "$WWW" --beta "$1" \
    --server "$2" "$PREFIX" "Demo server on this machine (loopback)" \
    --sign "$KEY" --expires 30
}

# ------------------------------------------------------------------ the trees
say "Making the demo simulator trees in $DEMO/"
rm -rf "$DEMO"
mkdir -p "$DEMO/A" "$DEMO/B" "$WWW"
echo "Release A:"; python3 "$TREES" make A "$DEMO/A/Skyvane"
echo "Release B (some files changed, added and removed):"; python3 "$TREES" make B "$DEMO/B/Skyvane"
python3 "$TREES" rules "$DEMO/rules.txt"

# The releases are signed with a key made for this demo; the installer is
# told to trust it with --release_key.
KEY="$DEMO/keys/demo-release.key"
mkdir -p "$DEMO/keys"
RELEASE_KEY=$("$PUBLISH" keygen --out "$KEY")
say "Made a signing key for the demo: $KEY (public key $RELEASE_KEY)"

say "Publishing release A as \"$VERSION_A\", signed"
"$PUBLISH" release --tree "$DEMO/A/Skyvane" --version "$VERSION_A" --out "$WWW" --prefix "$PREFIX" \
  --rules "$DEMO/rules.txt" --sign "$KEY"
say "Publishing release B as \"$VERSION_B\" (history carried over from A), signed"
"$PUBLISH" release --tree "$DEMO/B/Skyvane" --version "$VERSION_B" --out "$WWW" --prefix "$PREFIX" \
  --rules "$DEMO/rules.txt" --previous "$WWW$PREFIX$VERSION_A/directory.txt.zip" --sign "$KEY"

# A root and a server certificate for 127.0.0.1, made for this demo.
CERTS="$DEMO/certs"
sh "$ROOT/tests/servers/make_test_certs.sh" "$CERTS" || die "openssl could not make the demo's certificates"

# The server list names the server's port, so it is written once nginx runs.
start_nginx
serverlist "$VERSION_A" "127.0.0.1:$PORT"
say "Serving $WWW at http://127.0.0.1:$PORT/ and https://127.0.0.1:$TLS_PORT/ (nginx pid $NGINX_PID, configuration and logs in $NGX/)"
echo "GET /serverlist.txt:"
curl -fsS "http://127.0.0.1:$PORT/serverlist.txt" | sed 's/^/    /'
echo "GET /serverlist.sig (the publisher's signed statement beside it):"
curl -fsS "http://127.0.0.1:$PORT/serverlist.sig" | sed 's/^/    /'
ENC_B=${VERSION_B// /%20}
echo "GET ${PREFIX}${ENC_B}/ (directory listing):"
curl -fsS "http://127.0.0.1:$PORT${PREFIX}${ENC_B}/" | sed -n 's/.*href="\([^"]*\)".*/    \1/p'
ONE="Skyvane/Craft/Velmora Works/Kestrel 2/Kestrel 2.craft.zip"
curl -fsS -o "$DEMO/one.zip" "http://127.0.0.1:$PORT${PREFIX}${ENC_B}/${ONE// /%20}"
echo "GET one archive, ${ONE}: $(stat -c %s "$DEMO/one.zip") bytes, member:"
python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); z.testzip(); [print("    %s, %d bytes, CRC correct" % (i.filename, i.file_size)) for i in z.infolist()]' "$DEMO/one.zip"

if [ ! -x "$INSTALLER" ]; then
  say "The installer is not built yet ($INSTALLER does not exist)"
  echo "The demo stops here, after publishing and serving: once the installer is built, it"
  echo "installs release A from this server and then updates it to release B."
  echo "Releases: $WWW$PREFIX   (took $((SECONDS - START)) s)"
  exit 0
fi

# ------------------------------------------------------------------ installing
DEST_PARENT="$DEMO/installed"
DEST="$DEST_PARENT/Skyvane"
mkdir -p "$DEST_PARENT" "$DEMO/home" "$DEMO/config" "$DEMO/tmp"
MODE=(--headless)
if [ -n "${DISPLAY:-}" ] && [ "${SKYVANE_DEMO_HEADLESS:-0}" != 1 ]; then MODE=(); fi

run_installer() {  # run_installer DEST
  HOME="$DEMO/home" XDG_CONFIG_HOME="$DEMO/config" TMPDIR="$DEMO/tmp" \
    "$INSTALLER" "${MODE[@]}" --install --accept_eula --server_list_host="127.0.0.1:$PORT" \
    --release_key="$RELEASE_KEY" --ca_file="$CERTS/ca.pem" "$1/"
}

# The installer may give the destination the version's name when it is done.
find_installed() {  # find_installed VERSION -> the folder now holding the install
  if [ -d "$DEST_PARENT/$1" ]; then echo "$DEST_PARENT/$1"; else echo "$DEST"; fi
}

# Archives of files fetched so far (the directory file not counted).
count_zip_gets() {  # count_zip_gets [LOG]
  grep -s '"GET [^"]*\.zip HTTP' "${1:-$NGX/access.log}" | grep -vc 'directory\.txt\.zip' || true
}

say "Installing release A into $DEST (fresh install${MODE:+, unattended})"
if [ ${#MODE[@]} -eq 0 ]; then
  echo "In the installer's window: click INSTALL, then ACCEPT; when it says INSTALLATION COMPLETE!,"
  echo "click QUIT. (SKYVANE_DEMO_HEADLESS=1 make demo runs it without a window.)"
fi
before=$(count_zip_gets)
run_installer "$DEST" || die "the installer failed installing release A (exit status $?)"
DEST=$(find_installed "$VERSION_A")
echo "Fetched $(( $(count_zip_gets) - before )) archives."
python3 "$TREES" check "$DEMO/A/Skyvane" "$DEST" 3 || die "release A was not installed correctly"

say "Updating to release B, from the HTTPS server this time"
serverlist "$VERSION_B" "https://127.0.0.1:$TLS_PORT" >/dev/null
echo "The server list now names https://127.0.0.1:$TLS_PORT; its root is given with --ca_file."
before=$(count_zip_gets "$NGX/tls-access.log")
run_installer "$DEST" || die "the installer failed updating to release B (exit status $?)"
DEST=$(find_installed "$VERSION_B")
echo "Fetched $(( $(count_zip_gets "$NGX/tls-access.log") - before )) archives over HTTPS (changed and new files only)."
python3 "$TREES" check "$DEMO/B/Skyvane" "$DEST" 3 || die "the update to release B is not right"
# The updated folder holds the simulator tree alone: the installer recognises
# it and gives it the new version's name.
[ "$DEST" = "$DEST_PARENT/$VERSION_B" ] && [ ! -e "$DEST_PARENT/$VERSION_A" ] ||
  die "the updated tree is not in $DEST_PARENT/$VERSION_B (it is in $DEST)"

say "Done in $((SECONDS - START)) s"
echo "Published releases A and B to $WWW$PREFIX, served them from nginx on 127.0.0.1:$PORT (HTTP)"
echo "and 127.0.0.1:$TLS_PORT (HTTPS), installed A with the installer over HTTP and updated it to B"
echo "over HTTPS (changed and new files fetched, removed files deleted, Linux files only)."
echo "The installed tree is in $DEST"
echo "Web server logs: $NGX/access.log and $NGX/tls-access.log; the installer's log: $BUILD/Log.txt"
