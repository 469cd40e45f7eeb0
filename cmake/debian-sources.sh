# Sourced by the scripts that build libraries from Debian's own source
# packages (fetch-host-minizip.sh, fetch-win-deps.sh): where the sources come
# from, and how they are fetched and unpacked. Before sourcing, the caller
# sets `deps` (the folder that holds everything fetched for one build).
#
# apt runs with a private configuration under $deps/apt (its own source
# list, package lists and cache), so the system's lists are never touched.
# The sources are unpacked with dpkg-source (Debian's patches are applied)
# into $deps/src.

# zlib's version is shared: the Linux and the Windows builds take minizip
# from the same source.
ZLIB_VERSION=1:1.2.13.dfsg-1
MIRROR=http://deb.debian.org/debian
SUITE=bookworm

apt_dir=$deps/apt
src=$deps/src
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$src"
cat > "$apt_dir/sources.list.d/debian-src.sources" <<SOURCES
Types: deb-src
URIs: $MIRROR
Suites: $SUITE
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES

apt_private() {
  apt-get -q \
    -o Dir::Etc::SourceList=/dev/null \
    -o Dir::Etc::SourceParts="$apt_dir/sources.list.d" \
    -o Dir::State::Lists="$apt_dir/lists" \
    -o Dir::Cache="$apt_dir/cache" \
    -o Dir::Cache::pkgcache="" -o Dir::Cache::srcpkgcache="" \
    -o APT::Sandbox::User=root \
    "$@"
}

# The upstream part of a Debian version, which names the unpacked folder:
# no epoch ("1:"), no Debian revision ("-1"), no repack mark (".dfsg").
upstream() {
  v=${1#*:}
  v=${v%-*}
  echo "${v%%[.+~]dfsg*}"
}

# fetch PACKAGE VERSION FOLDER: the source package's version VERSION
# unpacked into $src, unless a folder of its upstream version is there
# already; prints that folder (FOLDER is the upstream name, "zlib" for
# zlib-1.2.13).
fetch() {
  unpacked=$src/$3-$(upstream "$2")
  if ! ls -d "$unpacked"* >/dev/null 2>&1; then
    [ -f "$apt_dir/updated" ] || { apt_private update >&2 && touch "$apt_dir/updated"; }
    (cd "$src" && apt_private source --download-only "$1=$2" >&2)
    dsc=$(ls "$src"/"$1"_*.dsc | head -n 1)
    (cd "$src" && dpkg-source -x "$dsc" >&2)
  fi
  ls -d "$unpacked"* | head -n 1
}
