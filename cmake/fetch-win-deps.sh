#!/bin/sh
# Fetches and builds the libraries of the Windows build that Debian has no
# cross-built package for: minizip (zlib's contrib/minizip), GLFW,
# libsodium (the signatures of releases) and libdeflate (whole-buffer
# inflation of small members), from Debian's own source packages, pinned to
# the versions below (zlib's in cmake/debian-sources.sh).
#
#   cmake/fetch-win-deps.sh BUILD_DIR
#
# The sources are fetched and unpacked as cmake/debian-sources.sh says,
# under BUILD_DIR/deps, and built with the mingw-w64 toolchain into
# BUILD_DIR/deps/prefix.
# A finished step is not done again: delete BUILD_DIR/deps to start over.
set -eu

GLFW_VERSION=3.3.8-1
SODIUM_VERSION=1.0.18-1+deb12u1
DEFLATE_VERSION=1.14-1

here=$(cd "$(dirname "$0")" && pwd)
build=$(mkdir -p "$1" && cd "$1" && pwd)
deps=$build/deps
prefix=$deps/prefix
toolchain=$here/mingw-w64-x86_64.cmake
jobs=${JOBS:-2}

mkdir -p "$prefix"
. "$here/debian-sources.sh"

# ---- sources
zlib_src=$(fetch zlib "$ZLIB_VERSION" zlib)
glfw_src=$(fetch glfw3 "$GLFW_VERSION" glfw3)
sodium_src=$(fetch libsodium "$SODIUM_VERSION" libsodium)
deflate_src=$(fetch libdeflate "$DEFLATE_VERSION" libdeflate)

# ---- minizip: the unzip reader and its file functions, as a static library
if [ ! -f "$prefix/lib/libminizip.a" ]; then
  mz=$zlib_src/contrib/minizip
  obj=$deps/minizip-build
  mkdir -p "$obj" "$prefix/include/minizip"
  for c in unzip ioapi iowin32 zip; do
    x86_64-w64-mingw32-gcc-posix -O2 -c "$mz/$c.c" -o "$obj/$c.o" -I"$mz" -DNOCRYPT=0
  done
  rm -f "$prefix/lib/libminizip.a"
  mkdir -p "$prefix/lib"
  x86_64-w64-mingw32-ar rcs "$prefix/lib/libminizip.a" "$obj"/unzip.o "$obj"/ioapi.o "$obj"/iowin32.o "$obj"/zip.o
  cp "$mz"/unzip.h "$mz"/ioapi.h "$mz"/iowin32.h "$mz"/zip.h "$prefix/include/minizip/"
fi

# ---- GLFW: static, the Win32 back end
if [ ! -f "$prefix/lib/libglfw3.a" ]; then
  cmake -S "$glfw_src" -B "$deps/glfw-build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
    -DGLFW_BUILD_EXAMPLES=OFF -DGLFW_BUILD_TESTS=OFF -DGLFW_BUILD_DOCS=OFF
  cmake --build "$deps/glfw-build" -j "$jobs"
  cmake --install "$deps/glfw-build"
fi
# ---- libsodium: static, the minimal build (signatures, base64, random bytes).
# Debian's source comes without its generated configure script: autoreconf
# (autoconf, automake, libtool) makes it.
if [ ! -f "$prefix/lib/libsodium.a" ]; then
  [ -x "$sodium_src/configure" ] || (cd "$sodium_src" && autoreconf -fi >/dev/null 2>&1)
  rm -rf "$deps/sodium-build"
  mkdir -p "$deps/sodium-build"
  (cd "$deps/sodium-build" && "$sodium_src"/configure --host=x86_64-w64-mingw32 --prefix="$prefix" \
     --enable-minimal --disable-shared --enable-static --disable-ssp --disable-dependency-tracking \
     CC=x86_64-w64-mingw32-gcc-posix CFLAGS=-O2 >/dev/null && \
   make -j "$jobs" >/dev/null && make install >/dev/null)
fi
# ---- libdeflate: static, its library sources (the generic code and the x86
# paths it picks at run time), compiled as its own Makefile does.
if [ ! -f "$prefix/lib/libdeflate.a" ]; then
  obj=$deps/deflate-build
  rm -rf "$obj"
  mkdir -p "$obj" "$prefix/lib" "$prefix/include"
  for c in "$deflate_src"/lib/*.c "$deflate_src"/lib/x86/*.c; do
    x86_64-w64-mingw32-gcc-posix -O2 -fomit-frame-pointer -std=c99 -c "$c" \
      -o "$obj/$(basename "$(dirname "$c")")_$(basename "$c" .c).o" -I"$deflate_src"
  done
  x86_64-w64-mingw32-ar rcs "$prefix/lib/libdeflate.a" "$obj"/*.o
  cp "$deflate_src"/libdeflate.h "$prefix/include/"
fi
echo "Windows libraries ready in $prefix"
