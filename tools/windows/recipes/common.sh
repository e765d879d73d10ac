# shellcheck shell=bash disable=SC2034,SC2154
# Settings every recipe shares; read by tools/build-windows-libraries.sh, which sets $cache (this
# set's cache folder), $prefix (where the libraries land), $jobs and $tools (the tools folder).
# Everything here is part of each set's cache key: a change builds new caches.

host=x86_64-w64-mingw32
rust_target=x86_64-pc-windows-gnu
# The mingw compilers with POSIX threads: std::thread and std::mutex need them.
cc=$(command -v $host-gcc-posix)
cxx=$(command -v $host-g++-posix)

# Source file names (assertions, diagnostics) are recorded relative to the cache: a build-machine
# path in a Windows binary would read as a folder on the current drive.
map_flags="-ffile-prefix-map=$cache=."
# A list of flags, for the compilers' command lines (unquoted there).
cflags="-O2 $map_flags"

cmake_cross=(-DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=x86_64
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_RC_COMPILER="$host-windres"
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix"
    -DCMAKE_C_FLAGS="$map_flags" -DCMAKE_CXX_FLAGS="$map_flags"
    -DCMAKE_FIND_ROOT_PATH="$prefix;/usr/$host" -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER
    -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY
    -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY -DBUILD_SHARED_LIBS=OFF)
