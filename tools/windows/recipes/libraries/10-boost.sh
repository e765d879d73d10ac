# shellcheck shell=bash disable=SC2034,SC2154
# Boost: the libraries the program and its tests link, static, with Windows threads.
package=boost1.81

build() {
    # Debian strips b2's generated grammar; bison regenerates it before the bootstrap.
    (cd tools/build && bison -y -d -o src/engine/jamgram.cpp src/engine/jamgram.y)
    ./bootstrap.sh --with-toolset=gcc
    echo "using gcc : mingw : $cxx ;" >user-config.jam
    ./b2 -j"$jobs" -q --user-config=user-config.jam --prefix="$prefix" \
        toolset=gcc-mingw target-os=windows address-model=64 architecture=x86 \
        link=static runtime-link=shared threading=multi threadapi=win32 variant=release \
        cxxflags="$map_flags" cflags="$map_flags" \
        boost.locale.icu=off boost.locale.iconv=off boost.locale.posix=off \
        --with-program_options --with-filesystem --with-date_time --with-locale --with-regex \
        --with-thread --with-log --with-json --with-system --with-atomic --with-chrono \
        install
}
