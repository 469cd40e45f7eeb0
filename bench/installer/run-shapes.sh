#!/usr/bin/env bash
# Speed of the installer on releases of different shapes, against its peers,
# measured in the same run on the same data and disk (run by hand; not part
# of the tests):
#
#   bench/installer/run-shapes.sh [BUILD_DIR] [WORK_PARENT]
#
#   A. 4 x 400 MB incompressible files, fresh install: the installer against
#      `aria2c -j4` fetching the 4 archives + ONE python3 process extracting
#      them with zipfile, and against `md5sum` over the installed files.
#      SIGNED=1 publishes the release signed (the installer checks SHA-256).
#   B. 20,000 files of 1-20 KB, fresh install: installer against the same
#      peer pipeline; also microseconds per file, wall and processor.
#      SMALL_KIND=text (the default) makes lines of words and numbers that
#      compress about 3:1, as most simulator data does; random makes them
#      incompressible.
#
# Beside the peers, A and B measure the floor: `tar -x` of the same tree
# from a tar file made once and read into the cache before timing, into an
# empty folder on the same file system as the installer's output.
#   C. 2,000 such files through a delaying relay (bench/relay/relay.py,
#      DELAY_MS each way, default 25) between the installer and nginx:
#      `--pref:_keep_alive=1` against `--pref:_keep_alive=0`, both with four
#      streams. Goal: keep-alive >= 1.7 x faster.
#   D. The 20,000-file tree updated to a release in which 5 % of the files
#      changed (against md5sum over the tree + aria2c -j4 of the changed
#      archives + python3 zipfile), then an update with nothing to do
#      (against md5sum over the tree).
#
# Every measurement runs ROUNDS times (default 3), the sides taking turns to
# go first; the minimum and the median of each side are reported. The cache
# is warm: the source files and the archives are read once before timing,
# and the machine has memory enough to hold them. Before each timed run the
# earlier outputs are moved aside (deleted at the end) and `sync` writes out
# what the last run left in memory, so that no run pays for the writes of
# the one before. aria2c runs with its fsync per file made a no-op
# (nofsync.cpp), as the installer does not flush either.
#
# Outputs moved aside keep their memory: every run then writes into pages
# the system has not used before, which on a virtual machine can cost as
# much as the copy itself. ASIDE=0 deletes them instead, so that runs reuse
# the pages the last one freed (both sides alike).
#
# TMPFS=1 puts every side's output (the installed tree, the peers' downloads
# and tree, tar's tree, the installer's temporary folder) on a tmpfs
# (/dev/shm, or TMPFS_DIR), so that the figures are the programs' and not
# those of ext4 creating files where many were just deleted; outputs are
# deleted between runs then (ASIDE=0). The default keeps them on the work
# folder's file system. PEERS=0 leaves out aria2c + python3 (the floor and
# md5sum stay). PERF=1 adds one untimed install of A and of B under perf and
# prints where its processor time goes (PERF_OUT=FILE keeps the samples). The
# installer runs under /usr/bin/time when it is there, and
# its peak memory (maximum resident set) is reported.
#
#   E. One file of HUGE_GB (default 20) GB of zeros, sparse at the source
#      (its archive deflates to about a thousandth), installed into the work
#      folder's file system, then an update with nothing to do; one run of
#      each: time per GB, processor time and peak memory, beside md5sum of
#      the installed file. Not in the default SHAPES.
#
# SHAPES=ABCD chooses the measurements; BIG_MB (400), BIG_FILES (4),
# SMALL_FILES (20000), RELAY_FILES (2000) scale them down.
# Everything lives in a new folder under WORK_PARENT (default $TMPDIR or
# /tmp), removed at the end (KEEP=1 keeps it); nginx and the relay are
# stopped by their pids. Needs nginx, aria2c, curl, python3.
set -euo pipefail
START=$SECONDS

die() { printf '\nThe benchmark stopped: %s\n' "$*" >&2; exit 1; }

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
RELAY="$HERE/../relay/relay.py"
[ -d "${1:-build}" ] || die "no build folder ${1:-build} (give it as the first argument)"
BUILD=$(cd "${1:-build}" && pwd)
PARENT=${2:-${TMPDIR:-/tmp}}
ROUNDS=${ROUNDS:-3}
SHAPES=${SHAPES:-ABCD}
BIG_MB=${BIG_MB:-400}
BIG_FILES=${BIG_FILES:-4}
SMALL_FILES=${SMALL_FILES:-20000}
HUGE_GB=${HUGE_GB:-20}
RELAY_FILES=${RELAY_FILES:-2000}
DELAY_MS=${DELAY_MS:-25}
SMALL_KIND=${SMALL_KIND:-text}
PEERS=${PEERS:-1}
TMPFS=${TMPFS:-0}
SIGNED=${SIGNED:-0}
HELPER="$HERE/helper.py"
[ "$TMPFS" = 1 ] && ASIDE=0

[ -x "$BUILD/skyvane-installer" ] || die "$BUILD/skyvane-installer is not built"
[ -x "$BUILD/skyvane-publish" ] || die "$BUILD/skyvane-publish is not built"
source "$HERE/../../tools/lib/private-nginx.sh"
[ -x "$NGINX_BIN" ] || die "nginx is not installed (apt-get install nginx)"
for p in curl python3 tar; do command -v $p >/dev/null || die "$p is not installed"; done
[ "$PEERS" = 0 ] || command -v aria2c >/dev/null || die "aria2c is not installed (PEERS=0 leaves the peers out)"

NEED=$(( (BIG_MB * BIG_FILES * 5 + 2000) * 1000000 ))
AVAIL=$(df -P -B1 "$PARENT" | awk 'NR == 2 { print $4 }')
case "$SHAPES" in *A*) [ "$AVAIL" -ge "$NEED" ] || die "only $((AVAIL / 1000000)) MB free at $PARENT; A needs $((NEED / 1000000)) MB (BIG_MB=... scales it)";; esac

# ------------------------------------------------------------------ clean-up
WORK=""
RELAY_PID=""
relay_stop() {
  if [ -n "$RELAY_PID" ] && kill -0 "$RELAY_PID" 2>/dev/null; then
    kill "$RELAY_PID" 2>/dev/null || true
    wait "$RELAY_PID" 2>/dev/null || true
  fi
  RELAY_PID=""
}
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  relay_stop
  private_nginx_stop
  if [ -n "$WORK" ] && [ -d "$WORK" ]; then
    if [ "${KEEP:-0}" = 1 ]; then echo "(kept $WORK)"; else rm -rf "$WORK"; fi
  fi
  if [ -n "${OUT:-}" ] && [ -d "$OUT" ]; then rm -rf "$OUT"; fi
  exit "$status"
}
trap cleanup EXIT
trap 'echo; echo "Interrupted."; exit 130' INT TERM

WORK=$(mktemp -d "$PARENT/skyvane-bench-shapes-XXXXXX")
WWW="$WORK/www"
NGX="$WORK/nginx"
mkdir -p "$WORK/home/.config" "$WORK/tmp" "$WORK/bin" "$WORK/logs" "$WORK/old" "$WWW" "$NGX"
cp "$BUILD/skyvane-installer" "$WORK/bin/skyvane-installer"
# Where the sides write: the work folder, or a tmpfs.
OUT=""
if [ "$TMPFS" = 1 ]; then
  OUT=$(mktemp -d "${TMPFS_DIR:-/dev/shm}/skyvane-bench-out-XXXXXX")
  [ "$(stat -f -c %T "$OUT")" = tmpfs ] || die "$OUT is not on a tmpfs"
  OUTS=$OUT
else
  OUTS=$WORK
fi
mkdir -p "$OUTS/tmp"
echo "== Work folder $WORK ($((AVAIL / 1000000000)) GB free), outputs on $(stat -f -c %T "$OUTS") ($OUTS), $(nproc) processors, $ROUNDS rounds, warm cache"

# ------------------------------------------------------------------ helpers
USER_LINE=""
[ "$(id -u)" = 0 ] && USER_LINE="user $(id -un) $(id -gn);"
echo "placeholder" >"$WWW/probe.txt"
private_nginx_start "$NGX" "$WWW" "/probe.txt" "$USER_LINE" "keepalive_requests 100000;" "" ||
  die "nginx did not start (its log is above)"
HOST="127.0.0.1:$PORT"
SERVER_PIDS=$(echo "$NGINX_PID" $(pgrep -P "$NGINX_PID" || true) | tr ' ' ,)
echo "== nginx pid $NGINX_PID at http://$HOST/"

NOFSYNC=""
if command -v c++ >/dev/null && c++ -shared -fPIC -O2 -o "$WORK/nofsync.so" "$HERE/nofsync.cpp"; then
  NOFSYNC="$WORK/nofsync.so"
fi

add() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a + b }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
per_file_us() { awk -v t="$1" -v n="$2" 'BEGIN { printf "%.0f", t * 1e6 / n }'; }
minof() { python3 "$HELPER" stats "$@" | awk '{ print $2 }'; }
medof() { python3 "$HELPER" stats "$@" | awk '{ print $4 }'; }
archive_gets() { { grep '"GET [^"]*\.zip HTTP' "$NGX/access.log" || true; } | { grep -vc 'directory\.txt\.zip' || true; }; }

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

# fresh DIR...: empties the folders (their contents moved aside, or deleted
# with ASIDE=0), then sync.
N_ASIDE=0
fresh() {
  for d in "$@"; do
    if [ "${ASIDE:-1}" = 0 ]; then
      rm -rf "$d"
    elif [ -e "$d" ]; then
      N_ASIDE=$((N_ASIDE + 1))
      mv "$d" "$WORK/old/$N_ASIDE"
    fi
    mkdir -p "$d"
  done
  sync
}
drop_aside() { rm -rf "$WORK/old"; mkdir -p "$WORK/old"; sync; }

# publish TREE VERSION [PREVIOUS_DIRECTORY_ZIP]
publish() {
  local prev=() sign=()
  [ -z "${3:-}" ] || prev=(--previous "$3")
  [ "$SIGNED" = 0 ] || sign=(--sign "$WORK/release.key")
  "$BUILD/skyvane-publish" release --tree "$1" --version "$2" --out "$WWW" --prefix /pub/ "${prev[@]}" "${sign[@]}" | sed 's/^/  /'
}
# serve VERSION HOST: the server list names VERSION on HOST.
serve() {
  local sign=()
  [ "$SIGNED" = 0 ] || sign=(--sign "$WORK/release.key" --expires 2)
  "$BUILD/skyvane-publish" serverlist --out "$WWW" --beta "$1" --final "$1" --server "$2" /pub/ "Bench server" "${sign[@]}" >/dev/null
}
# tar_of TREE TAR: the floor's input, made once and read into the cache.
tar_of() {
  tar -cf "$2" -C "$(dirname "$1")" "$(basename "$1")"
  cat "$2" >/dev/null
}
# floor_fresh I TAR: tar -x of the tree into an empty folder; sets FLOOR_WALL.
floor_fresh() {
  fresh "$FLOOR"
  timed "tar-$1.out" tar -xf "$2" -C "$FLOOR"
  FLOOR_WALL=$WALL
  printf '    tar -x    %8.3f s  processor %.2f s\n' "$WALL" "$CPU"
}

DL="$OUTS/peer-download"
PX="$OUTS/peer-tree"
FLOOR="$OUTS/floor-tree"
DEST_PARENT="$OUTS/dest"
DEST="$DEST_PARENT/Skyvane"
ITMP="$OUTS/tmp"
RELEASE_KEY=()
if [ "$SIGNED" = 1 ]; then
  PUBKEY=$("$BUILD/skyvane-publish" keygen --out "$WORK/release.key")
  RELEASE_KEY=("--release_key=$PUBKEY")
fi

aria() {  # aria LOG URLS: aria2c -j4 fetching the listed archives into $DL
  local preload=()
  [ -z "$NOFSYNC" ] || preload=("LD_PRELOAD=$NOFSYNC")
  timed "$1" env "${preload[@]}" aria2c -q -j4 -x1 -s1 --file-allocation=none --allow-overwrite=true \
    --auto-file-renaming=false --no-conf -d "$DL" -i "$2"
}
# installer LOG SERVER_LIST_HOST [OPTIONS...]: one unattended run on $DEST.
installer() {
  local log=$1 host=$2
  shift 2
  local mem=()
  [ ! -x /usr/bin/time ] || mem=(/usr/bin/time -v -o "$WORK/logs/$log.time")
  timed "$log" env HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" TMPDIR="$ITMP" \
    "${mem[@]}" "$WORK/bin/skyvane-installer" "$DEST/" --headless --install --accept_eula --server_list_host="$host" \
    --pref:_rename_folder=0 "${RELEASE_KEY[@]}" "$@"
  PEAK_MB=$(awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' "$WORK/logs/$log.time" 2>/dev/null || true)
  PEAK_MB=${PEAK_MB:--}
}
# peer_fresh I URLS: the peers' fresh install; sets PEER_WALL.
peer_fresh() {
  PEER_WALL=0
  [ "$PEERS" != 0 ] || return 0
  fresh "$DL" "$PX"
  aria "aria2c-$1.out" "$2"
  local a_wall=$WALL a_srv=$SRV a_cpu=$CPU
  timed "extract-$1.out" python3 "$HELPER" extract "$DL" "$PX"
  PEER_WALL=$(add "$a_wall" "$WALL")
  printf '    peers     %8.3f s  (aria2c -j4 %.3f s + python3 zipfile %.3f s)  processor %.2f s + nginx %.2f s\n' \
    "$PEER_WALL" "$a_wall" "$WALL" "$(add "$a_cpu" "$CPU")" "$(add "$a_srv" "$SRV")"
}
# installer_fresh I FILES: fresh install of the served release; sets INST_WALL.
installer_fresh() {
  fresh "$DEST_PARENT" "$ITMP"
  local before got
  before=$(archive_gets)
  installer "install-$1.out" "$HOST" --pref:_keep_alive=1
  got=$(( $(archive_gets) - before ))
  [ "$got" = "$2" ] || die "the installer fetched $got archives, not $2"
  INST_WALL=$WALL
  INST_CPU=$CPU
  printf '    installer %8.3f s  processor %.2f s + nginx %.2f s  peak %s MB\n' "$WALL" "$CPU" "$SRV" "$PEAK_MB"
}
md5_tree() {  # md5_tree LOG: md5sum over the installed files; sets MD5_WALL
  timed "$1" sh -c 'find "$1" -type f -print0 | xargs -0 md5sum > /dev/null' md5 "$DEST"
  MD5_WALL=$WALL
  printf '    md5sum    %8.3f s  processor %.2f s\n' "$WALL" "$CPU"
}

# profile_install: where the processor time goes, from one more, untimed
# install under perf (samples of every thread of the installer, and of the
# kernel for it); PERF_OUT=FILE keeps the samples.
profile_install() {
  command -v perf >/dev/null || return 0
  fresh "$DEST_PARENT" "$ITMP"
  env HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" TMPDIR="$ITMP" \
    perf record -q -F 2000 -g -o "$WORK/logs/perf.data" "$WORK/bin/skyvane-installer" "$DEST/" --headless --install \
    --accept_eula --server_list_host="$HOST" --pref:_rename_folder=0 --pref:_keep_alive=1 "${RELEASE_KEY[@]}" \
    >"$WORK/logs/perf-install.out" 2>&1 || die "the profiled install failed"
  echo "  profile of one install (self time, by library and function):"
  # (head ends the pipes early: their status is not the profile's)
  { perf report -i "$WORK/logs/perf.data" --stdio --no-children -g none --sort dso 2>/dev/null |
    grep -E '^ +[0-9.]+%' | head -n 12 | cut -c1-100 | sed 's/^/  /'; } || true
  { perf report -i "$WORK/logs/perf.data" --stdio --no-children -g none --sort dso,symbol 2>/dev/null |
    grep -E '^ +[0-9.]+%' | head -n 40 | cut -c1-110 | sed 's/^/  /'; } || true
  [ -z "${PERF_OUT:-}" ] || cp "$WORK/logs/perf.data" "$PERF_OUT"
}

RESULTS=()
result() { RESULTS+=("$(printf "$@")"); }

# ------------------------------------------------------------------ A. large files
if [[ $SHAPES == *A* ]]; then
  echo "== A. $BIG_FILES x $BIG_MB MB incompressible, fresh install"
  TREE="$WORK/big/Skyvane"
  python3 "$HELPER" make-files "$TREE" "$BIG_FILES" $((BIG_MB * 1000000)) $((BIG_MB * 1000000)) 1 | sed 's/^/  /'
  publish "$TREE" "Big 1.0"
  serve "Big 1.0" "$HOST"
  python3 "$HELPER" urls "$WWW" "$WWW/pub/Big 1.0" "$HOST" "$WORK/urls-big.txt" | sed 's/^/  /'
  find "$TREE" "$WWW" -type f -print0 | xargs -0 cat >/dev/null
  tar_of "$TREE" "$WORK/big.tar"
  I=() P=() M=() F=()
  for i in $(seq "$ROUNDS"); do
    echo "  round $i"
    if [ $((i % 2)) = 1 ]; then
      peer_fresh "big-$i" "$WORK/urls-big.txt"; floor_fresh "big-$i" "$WORK/big.tar"; fresh "$FLOOR"
      installer_fresh "big-$i" "$BIG_FILES"; md5_tree "md5-big-$i.out"
    else
      installer_fresh "big-$i" "$BIG_FILES"; md5_tree "md5-big-$i.out"; fresh "$DEST_PARENT"
      floor_fresh "big-$i" "$WORK/big.tar"; fresh "$FLOOR"; peer_fresh "big-$i" "$WORK/urls-big.txt"
    fi
    I+=("$INST_WALL") P+=("$PEER_WALL") M+=("$MD5_WALL") F+=("$FLOOR_WALL")
    if [ "$i" = 1 ]; then
      python3 "$HELPER" same "$TREE" "$DEST" >/dev/null || die "the installed tree differs from the source"
      [ "$PEERS" = 0 ] || python3 "$HELPER" same "$TREE" "$PX/Skyvane" >/dev/null || die "the peers' tree differs from the source"
    fi
  done
  if [ "${PERF:-0}" = 1 ]; then profile_install; fi
  result 'A. %d x %d MB fresh%s   installer min %.3f median %.3f s | tar -x min %.3f median %.3f s | installer/tar %s (outputs on %s)' \
    "$BIG_FILES" "$BIG_MB" "$([ "$SIGNED" = 1 ] && echo ", signed")" "$(minof "${I[@]}")" "$(medof "${I[@]}")" \
    "$(minof "${F[@]}")" "$(medof "${F[@]}")" "$(ratio "$(minof "${I[@]}")" "$(minof "${F[@]}")")" "$(stat -f -c %T "$OUTS")"
  [ "$PEERS" = 0 ] || result 'A. %d x %d MB fresh   installer min %.3f median %.3f s | aria2c+python min %.3f median %.3f s | md5sum of the tree min %.3f median %.3f s | installer/peers %s, installer/md5sum %s' \
    "$BIG_FILES" "$BIG_MB" "$(minof "${I[@]}")" "$(medof "${I[@]}")" "$(minof "${P[@]}")" "$(medof "${P[@]}")" \
    "$(minof "${M[@]}")" "$(medof "${M[@]}")" "$(ratio "$(minof "${I[@]}")" "$(minof "${P[@]}")")" \
    "$(ratio "$(minof "${I[@]}")" "$(minof "${M[@]}")")"
  if [ "${STRACE:-0}" = 1 ] && command -v strace >/dev/null; then
    # System calls of one extra, untimed install (BASELINE=an older build's
    # installer shows its figures beside; it runs from a copy in the work
    # folder, where its log goes).
    bins=("$WORK/bin/skyvane-installer")
    if [ -n "${BASELINE:-}" ]; then
      mkdir -p "$WORK/baseline"
      cp "$BASELINE" "$WORK/baseline/skyvane-installer"
      bins+=("$WORK/baseline/skyvane-installer")
    fi
    for bin in "${bins[@]}"; do
      fresh "$DEST_PARENT" "$ITMP"
      env HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/home/.config" TMPDIR="$WORK/tmp" \
        strace -f -c -e trace=read,pread64,lseek -o "$WORK/logs/strace.txt" \
        "$bin" "$DEST/" --headless --install --accept_eula --server_list_host="$HOST" --pref:_rename_folder=0 \
        >/dev/null 2>&1 || die "the traced install failed"
      echo "  system calls of $bin:"
      grep -E ' (read|pread64|lseek)$' "$WORK/logs/strace.txt" | awk '{ printf "    %-8s %s calls\n", $NF, $4 }'
    done
  fi
  fresh "$DEST_PARENT" "$DL" "$PX" "$FLOOR"
  rm -rf "$WORK/big" "$WWW/pub/Big 1.0" "$WORK/big.tar"
  drop_aside
fi

# ------------------------------------------------------------------ B. many small files
SMALL_TREE="$WORK/small/Skyvane"
if [[ $SHAPES == *[BCD]* ]]; then
  python3 "$HELPER" make-files "$SMALL_TREE" "$SMALL_FILES" 1000 20000 2 "$SMALL_KIND" | sed 's/^/  /'
  publish "$SMALL_TREE" "Small 1.0"
  python3 "$HELPER" urls "$WWW" "$WWW/pub/Small 1.0" "$HOST" "$WORK/urls-small.txt" | sed 's/^/  /'
  find "$SMALL_TREE" "$WWW" -type f -print0 | xargs -0 cat >/dev/null
fi
if [[ $SHAPES == *B* ]]; then
  echo "== B. $SMALL_FILES files of 1-20 KB, fresh install"
  serve "Small 1.0" "$HOST"
  tar_of "$SMALL_TREE" "$WORK/small.tar"
  I=() P=() F=() IC=() PK=()
  for i in $(seq "$ROUNDS"); do
    echo "  round $i"
    if [ $((i % 2)) = 1 ]; then
      peer_fresh "small-$i" "$WORK/urls-small.txt"; floor_fresh "small-$i" "$WORK/small.tar"; fresh "$FLOOR"
      installer_fresh "small-$i" "$SMALL_FILES"
    else
      installer_fresh "small-$i" "$SMALL_FILES"; fresh "$DEST_PARENT"; floor_fresh "small-$i" "$WORK/small.tar"
      fresh "$FLOOR"; peer_fresh "small-$i" "$WORK/urls-small.txt"
    fi
    I+=("$INST_WALL") P+=("$PEER_WALL") F+=("$FLOOR_WALL") IC+=("$INST_CPU") PK+=("$PEAK_MB")
  done
  # The last install's tree (the order alternates: install once more when
  # the last round removed it).
  [ -d "$DEST" ] && [ -n "$(ls -A "$DEST" 2>/dev/null)" ] || installer_fresh "check" "$SMALL_FILES"
  python3 "$HELPER" same "$SMALL_TREE" "$DEST" >/dev/null || die "the installed tree differs from the source"
  if [ "${PERF:-0}" = 1 ]; then profile_install; fi
  result 'B. %d %s files fresh   installer min %.3f median %.3f s, processor min %.3f median %.3f s (%s us/file), peak %s MB | tar -x min %.3f median %.3f s | installer/tar %s (outputs on %s)' \
    "$SMALL_FILES" "$SMALL_KIND" "$(minof "${I[@]}")" "$(medof "${I[@]}")" "$(minof "${IC[@]}")" "$(medof "${IC[@]}")" \
    "$(per_file_us "$(minof "${IC[@]}")" "$SMALL_FILES")" "$(printf '%s\n' "${PK[@]}" | sort -n | tail -n 1)" \
    "$(minof "${F[@]}")" "$(medof "${F[@]}")" "$(ratio "$(minof "${I[@]}")" "$(minof "${F[@]}")")" "$(stat -f -c %T "$OUTS")"
  [ "$PEERS" = 0 ] || result 'B. %d small files fresh   installer min %.3f median %.3f s (%s us/file) | aria2c+python min %.3f median %.3f s (%s us/file) | installer/peers %s' \
    "$SMALL_FILES" "$(minof "${I[@]}")" "$(medof "${I[@]}")" "$(per_file_us "$(minof "${I[@]}")" "$SMALL_FILES")" \
    "$(minof "${P[@]}")" "$(medof "${P[@]}")" "$(per_file_us "$(minof "${P[@]}")" "$SMALL_FILES")" \
    "$(ratio "$(minof "${I[@]}")" "$(minof "${P[@]}")")"
  fresh "$DL" "$PX" "$FLOOR"
  drop_aside
fi

# ------------------------------------------------------------------ C. through the relay
if [[ $SHAPES == *C* ]]; then
  echo "== C. $RELAY_FILES small files through a relay adding $DELAY_MS ms each way: keep-alive on and off"
  RTREE="$WORK/relay/Skyvane"
  mkdir -p "$RTREE"
  # The first RELAY_FILES files of the small tree, in their folders.
  (cd "$SMALL_TREE" && find . -type f | sort | awk -v n="$RELAY_FILES" 'NR <= n' | xargs -d "\n" cp --parents -t "$RTREE")
  publish "$RTREE" "Relay 1.0"
  python3 "$RELAY" --upstream "$HOST" --delay-ms "$DELAY_MS" >"$WORK/relay.out" 2>"$WORK/logs/relay.err" &
  RELAY_PID=$!
  for _ in $(seq 50); do grep -q '^PORT ' "$WORK/relay.out" 2>/dev/null && break; sleep 0.1; done
  RHOST="127.0.0.1:$(awk '/^PORT /{ print $2 }' "$WORK/relay.out")"
  serve "Relay 1.0" "$RHOST"
  echo "  relay pid $RELAY_PID at $RHOST -> $HOST"
  relay_run() {  # relay_run I KEEP
    fresh "$DEST_PARENT" "$ITMP"
    local before got
    before=$(archive_gets)
    installer "relay-$2-$1.out" "$RHOST" --pref:_keep_alive="$2" --pref:_stream_count=4
    got=$(( $(archive_gets) - before ))
    [ "$got" = "$RELAY_FILES" ] || die "the installer fetched $got archives, not $RELAY_FILES"
    printf '    keep-alive %d  %8.3f s  processor %.2f s + nginx %.2f s\n' "$2" "$WALL" "$CPU" "$SRV"
  }
  K1=() K0=()
  for i in $(seq "$ROUNDS"); do
    echo "  round $i"
    if [ $((i % 2)) = 1 ]; then
      relay_run "$i" 0; K0+=("$WALL"); relay_run "$i" 1; K1+=("$WALL")
    else
      relay_run "$i" 1; K1+=("$WALL"); relay_run "$i" 0; K0+=("$WALL")
    fi
    if [ "$i" = 1 ]; then
      python3 "$HELPER" same "$RTREE" "$DEST" >/dev/null || die "the installed tree differs from the source"
    fi
  done
  relay_stop
  R=$(ratio "$(minof "${K0[@]}")" "$(minof "${K1[@]}")")
  result 'C. %d files via relay (%s ms each way, 4 streams)   keep-alive 1 min %.3f median %.3f s | keep-alive 0 min %.3f median %.3f s | speed-up %s x (goal >= 1.7)' \
    "$RELAY_FILES" "$DELAY_MS" "$(minof "${K1[@]}")" "$(medof "${K1[@]}")" "$(minof "${K0[@]}")" "$(medof "${K0[@]}")" "$R"
  echo "  relay: $(cat "$WORK/logs/relay.err" | tail -n 1)"
  drop_aside
fi

# ------------------------------------------------------------------ D. updates
if [[ $SHAPES == *D* ]]; then
  echo "== D. $SMALL_FILES files: update with 5 % changed, then nothing to do"
  serve "Small 1.0" "$HOST"
  fresh "$DEST_PARENT" "$ITMP"
  installer "update-base.out" "$HOST" --pref:_keep_alive=1
  cp -a "$DEST" "$WORK/installed-1.0"
  V2="$WORK/small2/Skyvane"
  mkdir -p "$WORK/small2"
  cp -a "$SMALL_TREE" "$V2"
  python3 "$HELPER" change "$V2" 0.05 3 "$WORK/changed.txt" | sed 's/^/  /'
  CHANGED=$(wc -l <"$WORK/changed.txt")
  publish "$V2" "Small 1.1" "$WWW/pub/Small 1.0/directory.txt.zip"
  serve "Small 1.1" "$HOST"
  python3 "$HELPER" urls "$WWW" "$WWW/pub/Small 1.1" "$HOST" "$WORK/urls-changed.txt" "$WORK/changed.txt" | sed 's/^/  /'
  find "$V2" "$WWW/pub/Small 1.1" -type f -print0 | xargs -0 cat >/dev/null
  restore() {  # the 1.0 tree at $DEST again, as installed
    rm -rf "$DEST_PARENT" "$ITMP"; mkdir -p "$DEST_PARENT" "$ITMP"
    cp -a "$WORK/installed-1.0" "$DEST"
    find "$DEST" -type f -print0 | xargs -0 cat >/dev/null
    sync
  }
  update_run() {
    restore
    local before got
    before=$(archive_gets)
    installer "update-$1.out" "$HOST" --pref:_keep_alive=1
    got=$(( $(archive_gets) - before ))
    [ "$got" = "$CHANGED" ] || die "the update fetched $got archives, not $CHANGED"
    printf '    installer %8.3f s  processor %.2f s + nginx %.2f s\n' "$WALL" "$CPU" "$SRV"
    U+=("$WALL")
  }
  peer_update_run() {
    [ "$PEERS" != 0 ] || return 0
    restore
    fresh "$DL" "$PX"
    timed "peer-md5-$1.out" sh -c 'find "$1" -type f -print0 | xargs -0 md5sum > /dev/null' md5 "$DEST"
    local m_wall=$WALL
    aria "peer-aria-$1.out" "$WORK/urls-changed.txt"
    local a_wall=$WALL
    timed "peer-extract-$1.out" python3 "$HELPER" extract "$DL" "$DEST_PARENT"
    local total
    total=$(add "$(add "$m_wall" "$a_wall")" "$WALL")
    printf '    peers     %8.3f s  (md5sum %.3f s + aria2c -j4 %.3f s + python3 zipfile %.3f s)\n' "$total" "$m_wall" "$a_wall" "$WALL"
    PU+=("$total")
  }
  U=() PU=()
  for i in $(seq "$ROUNDS"); do
    echo "  update, round $i"
    if [ $((i % 2)) = 1 ]; then peer_update_run "$i"; update_run "$i"; else update_run "$i"; peer_update_run "$i"; fi
    if [ "$i" = 1 ]; then
      python3 "$HELPER" same "$V2" "$DEST" >/dev/null || die "the updated tree differs from the new release"
    fi
  done
  [ "$PEERS" != 0 ] || result 'D. update, %d of %d changed   installer min %.3f median %.3f s' \
    "$CHANGED" "$SMALL_FILES" "$(minof "${U[@]}")" "$(medof "${U[@]}")"
  [ "$PEERS" = 0 ] || result 'D. update, %d of %d changed   installer min %.3f median %.3f s | md5sum+aria2c+python min %.3f median %.3f s | installer/peers %s' \
    "$CHANGED" "$SMALL_FILES" "$(minof "${U[@]}")" "$(medof "${U[@]}")" "$(minof "${PU[@]}")" "$(medof "${PU[@]}")" \
    "$(ratio "$(minof "${U[@]}")" "$(minof "${PU[@]}")")"

  # Nothing to do: the tree is at 1.1 after the last update run.
  python3 "$HELPER" same "$V2" "$DEST" >/dev/null || die "the tree is not at 1.1"
  N=() M=()
  nothing_run() {
    local before got
    before=$(archive_gets)
    installer "nothing-$1.out" "$HOST" --pref:_keep_alive=1
    got=$(( $(archive_gets) - before ))
    [ "$got" = 0 ] || die "the update with nothing to do fetched $got archives"
    grep -q "already the latest version" "$WORK/logs/nothing-$1.out" || die "the update did not say the copy is up to date"
    printf '    installer %8.3f s  processor %.2f s  peak %s MB\n' "$WALL" "$CPU" "$PEAK_MB"
    N+=("$WALL")
  }
  for i in $(seq "$ROUNDS"); do
    echo "  nothing to do, round $i"
    if [ $((i % 2)) = 1 ]; then md5_tree "md5-nothing-$i.out"; M+=("$MD5_WALL"); nothing_run "$i"
    else nothing_run "$i"; md5_tree "md5-nothing-$i.out"; M+=("$MD5_WALL"); fi
  done
  result 'D. nothing to do, %d files   installer min %.3f median %.3f s, peak %s MB | md5sum of the tree min %.3f median %.3f s | installer/md5sum %s' \
    "$SMALL_FILES" "$(minof "${N[@]}")" "$(medof "${N[@]}")" "$PEAK_MB" "$(minof "${M[@]}")" "$(medof "${M[@]}")" \
    "$(ratio "$(minof "${N[@]}")" "$(minof "${M[@]}")")"
fi

# ------------------------------------------------------------------ E. one huge file
if [[ $SHAPES == *E* ]]; then
  echo "== E. one file of $HUGE_GB GB, fresh install, then nothing to do (one run each)"
  # Zeros from a sparse file: the source costs no disk, the archive deflates
  # to a thousandth, and the installer still inflates, hashes and writes
  # every byte. The installed file goes to the work folder's file system
  # (a tmpfs could not hold it).
  HTREE="$WORK/huge/Skyvane"
  mkdir -p "$HTREE/Resources/terrain"
  truncate -s "${HUGE_GB}G" "$HTREE/Resources/terrain/basin.raw"
  hsign=()
  [ "$SIGNED" = 0 ] || hsign=(--sign "$WORK/release.key")
  timed "publish-huge.out" "$BUILD/skyvane-publish" release --tree "$HTREE" --version "Huge 1.0" --out "$WWW" \
    --prefix /pub/ "${hsign[@]}"
  sed 's/^/  /' "$WORK/logs/publish-huge.out"
  printf '    publisher %8.3f s  processor %.2f s\n' "$WALL" "$CPU"
  serve "Huge 1.0" "$HOST"
  SAVED_DEST_PARENT=$DEST_PARENT
  DEST_PARENT="$WORK/huge-dest"
  DEST="$DEST_PARENT/Skyvane"
  fresh "$DEST_PARENT"
  installer "install-huge.out" "$HOST" --pref:_keep_alive=1
  H_WALL=$WALL H_CPU=$CPU H_PEAK=$PEAK_MB
  printf '    installer %8.3f s  processor %.2f s  peak %s MB\n' "$WALL" "$CPU" "$PEAK_MB"
  cmp "$HTREE/Resources/terrain/basin.raw" "$DEST/Resources/terrain/basin.raw" || die "the installed file differs"
  installer "nothing-huge.out" "$HOST" --pref:_keep_alive=1
  grep -q "already the latest version" "$WORK/logs/nothing-huge.out" || die "the update did not say the copy is up to date"
  printf '    nothing to do  %8.3f s  processor %.2f s  peak %s MB\n' "$WALL" "$CPU" "$PEAK_MB"
  N_WALL=$WALL N_CPU=$CPU N_PEAK=$PEAK_MB
  timed "md5-huge.out" md5sum "$DEST/Resources/terrain/basin.raw"
  printf '    md5sum    %8.3f s  processor %.2f s\n' "$WALL" "$CPU"
  result 'E. one file of %d GB   fresh %.3f s (%.2f s/GB), processor %.2f s, peak %s MB | nothing to do %.3f s, processor %.2f s, peak %s MB | md5sum of the file %.3f s (outputs on %s)' \
    "$HUGE_GB" "$H_WALL" "$(awk -v t="$H_WALL" -v g="$HUGE_GB" 'BEGIN { print t / g }')" "$H_CPU" "$H_PEAK" \
    "$N_WALL" "$N_CPU" "$N_PEAK" "$WALL" "$(stat -f -c %T "$WORK")"
  rm -rf "$DEST_PARENT" "$WORK/huge" "$WWW/pub/Huge 1.0"
  DEST_PARENT=$SAVED_DEST_PARENT
  DEST="$DEST_PARENT/Skyvane"
fi

echo
echo "== Results ($ROUNDS rounds, alternating order, $(nproc) processors, warm cache)"
for r in "${RESULTS[@]}"; do echo "$r"; done
echo "(whole run $((SECONDS - START)) s)"
