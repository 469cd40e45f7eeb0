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
# The source is fetched as for the Windows build (cmake/debian-sources.sh),
# under BUILD_DIR/deps. A finished build is not done again: delete
# BUILD_DIR/deps/host to start over.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
build=$(mkdir -p "$1" && cd "$1" && pwd)
deps=$build/deps
prefix=$deps/host
[ -f "$prefix/lib/libminizip.a" ] && exit 0

. "$here/debian-sources.sh"
mz=$(fetch zlib "$ZLIB_VERSION" zlib)/contrib/minizip

obj=$deps/host-minizip-build
mkdir -p "$obj" "$prefix/include/minizip" "$prefix/lib"
for c in unzip ioapi zip; do
  ${CC:-cc} -O2 -fPIC -c "$mz/$c.c" -o "$obj/$c.o" -I"$mz" -DNOCRYPT=0 -D_LARGEFILE64_SOURCE
done
rm -f "$prefix/lib/libminizip.a.new"
ar rcs "$prefix/lib/libminizip.a.new" "$obj"/unzip.o "$obj"/ioapi.o "$obj"/zip.o
cp "$mz"/unzip.h "$mz"/ioapi.h "$mz"/zip.h "$prefix/include/minizip/"
mv "$prefix/lib/libminizip.a.new" "$prefix/lib/libminizip.a"
