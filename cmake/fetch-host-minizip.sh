#!/bin/sh
# Fetches Debian's zlib source package and builds its minizip
# (contrib/minizip: the zip reader, the zip writer and their file
# functions) for this system, into BUILD_DIR/deps/host.
#
#   cmake/fetch-host-minizip.sh BUILD_DIR
#
# Why not Debian's libminizip package: its reader (minizip 1.1) compares
# the sizes and offsets of the central directory with (unsigned long)-1 to
# know whether their zip64 fields follow; where unsigned long is 64 bits
# wide, as on 64-bit Linux, that is never true, so every size of 4 GiB or
# more reads as 0xFFFFFFFF and such a member cannot be extracted. The
# minizip of Debian's zlib source (the same one the Windows build uses)
# compares with 0xFFFFFFFF.
#
# apt runs with a private configuration under BUILD_DIR/deps/apt (its own
# source list, package lists and cache), so the system's lists are never
# touched. A finished build is not done again: delete BUILD_DIR/deps/host
# to start over.
set -eu

ZLIB_VERSION=1:1.2.13.dfsg-1
MIRROR=http://deb.debian.org/debian
SUITE=bookworm

build=$(mkdir -p "$1" && cd "$1" && pwd)
deps=$build/deps
apt_dir=$deps/apt
src=$deps/src
prefix=$deps/host
[ -f "$prefix/lib/libminizip.a" ] && exit 0

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

if ! ls -d "$src"/zlib-1.2.13* >/dev/null 2>&1; then
  [ -f "$apt_dir/updated" ] || { apt_private update && touch "$apt_dir/updated"; }
  (cd "$src" && apt_private source --download-only "zlib=$ZLIB_VERSION")
  dsc=$(ls "$src"/zlib_*.dsc | head -n 1)
  (cd "$src" && dpkg-source -x "$dsc")
fi
mz=$(ls -d "$src"/zlib-1.2.13* | head -n 1)/contrib/minizip

obj=$deps/host-minizip-build
mkdir -p "$obj" "$prefix/include/minizip" "$prefix/lib"
for c in unzip ioapi zip; do
  ${CC:-cc} -O2 -fPIC -c "$mz/$c.c" -o "$obj/$c.o" -I"$mz" -DNOCRYPT=0 -D_LARGEFILE64_SOURCE
done
rm -f "$prefix/lib/libminizip.a.new"
ar rcs "$prefix/lib/libminizip.a.new" "$obj"/unzip.o "$obj"/ioapi.o "$obj"/zip.o
cp "$mz"/unzip.h "$mz"/ioapi.h "$mz"/zip.h "$prefix/include/minizip/"
mv "$prefix/lib/libminizip.a.new" "$prefix/lib/libminizip.a"
