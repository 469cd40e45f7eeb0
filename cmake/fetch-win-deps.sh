#!/bin/sh
# Fetches and builds the libraries of the Windows build that Debian has no
# cross-built package for: minizip (zlib's contrib/minizip), GLFW,
# libsodium (the signatures of releases) and libdeflate (whole-buffer
# inflation of small members), from Debian's own source packages, pinned to
# the versions below.
#
#   cmake/fetch-win-deps.sh BUILD_DIR
#
# apt runs with a private configuration under BUILD_DIR/deps/apt (its own
# source list, package lists and cache), so the system's lists are never
# touched. The sources are unpacked with dpkg-source (Debian's patches are
# applied) and built with the mingw-w64 toolchain into BUILD_DIR/deps/prefix.
# A finished step is not done again: delete BUILD_DIR/deps to start over.
set -eu

ZLIB_VERSION=1:1.2.13.dfsg-1
GLFW_VERSION=3.3.8-1
SODIUM_VERSION=1.0.18-1+deb12u1
DEFLATE_VERSION=1.14-1
MIRROR=http://deb.debian.org/debian
SUITE=bookworm

here=$(cd "$(dirname "$0")" && pwd)
build=$(mkdir -p "$1" && cd "$1" && pwd)
deps=$build/deps
apt_dir=$deps/apt
src=$deps/src
prefix=$deps/prefix
toolchain=$here/mingw-w64-x86_64.cmake
jobs=${JOBS:-2}

mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$src" "$prefix"

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

# ---- sources
fetch() {  # package version folder-glob
  if ls -d "$src"/$3 >/dev/null 2>&1; then return 0; fi
  [ -f "$apt_dir/updated" ] || { apt_private update && touch "$apt_dir/updated"; }
  (cd "$src" && apt_private source --download-only "$1=$2")
  dsc=$(ls "$src"/"$1"_*.dsc | head -n 1)
  (cd "$src" && dpkg-source -x "$dsc")
}
# The upstream part of a Debian version, which names the unpacked folder:
# no epoch ("1:"), no Debian revision ("-1"), no repack mark (".dfsg").
upstream() {
  v=${1#*:}
  v=${v%-*}
  echo "${v%%[.+~]dfsg*}"
}
zlib_dir="zlib-$(upstream "$ZLIB_VERSION")"
glfw_dir="glfw3-$(upstream "$GLFW_VERSION")"
sodium_dir="libsodium-$(upstream "$SODIUM_VERSION")"
deflate_dir="libdeflate-$(upstream "$DEFLATE_VERSION")"
fetch zlib "$ZLIB_VERSION" "$zlib_dir*"
fetch glfw3 "$GLFW_VERSION" "$glfw_dir*"
fetch libsodium "$SODIUM_VERSION" "$sodium_dir*"
fetch libdeflate "$DEFLATE_VERSION" "$deflate_dir*"
zlib_src=$(ls -d "$src"/$zlib_dir* | head -n 1)
glfw_src=$(ls -d "$src"/$glfw_dir* | head -n 1)
sodium_src=$(ls -d "$src"/$sodium_dir* | head -n 1)
deflate_src=$(ls -d "$src"/$deflate_dir* | head -n 1)

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
