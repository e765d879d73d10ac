#!/usr/bin/env bash
# Builds the libraries the Windows build needs (Boost, pugixml, the gSOAP runtime, GoogleTest) for
# mingw-w64 from Debian's own source packages, once, into a cache outside the work tree. Later runs
# find the finished cache and return at once. Run as root (or via sudo) the first time: it installs
# the cross compiler and Wine and adds a deb-src entry for this Debian release
# (install-dependencies.sh --windows).
#
#   CORVANE_WINDOWS_DEPS  cache folder (default ~/.cache/corvane/mingw-w64); the libraries land in
#                         its prefix/ folder, which the toolchain file reads.
set -euo pipefail
cache=${CORVANE_WINDOWS_DEPS:-$HOME/.cache/corvane/mingw-w64}
prefix=$cache/prefix
# Bump when the set of libraries or their build options change, so old caches are rebuilt.
recipe=1
jobs=$(nproc)
host=x86_64-w64-mingw32

"$(dirname "$0")/install-dependencies.sh" --windows

if [ -f "$prefix/.complete" ] && [ "$(cat "$prefix/.complete")" = "$recipe" ]; then
    echo "Windows dependencies are ready in $prefix"
    exit 0
fi

rm -rf "$prefix" "$cache/src"
mkdir -p "$prefix" "$cache/src"
cd "$cache/src"
started=$SECONDS

# The mingw compilers with POSIX threads: std::thread and std::mutex need them.
cxx=$(command -v $host-g++-posix)
cc=$(command -v $host-gcc-posix)

cmake_cross=(-DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=x86_64
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_RC_COMPILER=$host-windres
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF)

echo "== Boost"
apt-get source boost1.81 >/dev/null
boost_src=$(find . -maxdepth 1 -type d -name 'boost1.81-*' | head -n 1)
(
    cd "$boost_src"
    # Debian strips b2's generated grammar; bison regenerates it before the bootstrap.
    (cd tools/build && bison -y -d -o src/engine/jamgram.cpp src/engine/jamgram.y)
    ./bootstrap.sh --with-toolset=gcc >bootstrap.log 2>&1 || { cat bootstrap.log; exit 1; }
    echo "using gcc : mingw : $cxx ;" >user-config.jam
    ./b2 -j"$jobs" -q --user-config=user-config.jam --prefix="$prefix" \
        toolset=gcc-mingw target-os=windows address-model=64 architecture=x86 \
        link=static runtime-link=shared threading=multi threadapi=win32 variant=release \
        boost.locale.icu=off boost.locale.iconv=off boost.locale.posix=off \
        --with-program_options --with-filesystem --with-date_time --with-locale --with-regex \
        --with-thread --with-log --with-json --with-system --with-atomic --with-chrono \
        install >b2.log 2>&1 || { tail -n 60 b2.log; exit 1; }
)

echo "== pugixml"
apt-get source pugixml >/dev/null
pugixml_src=$(find . -maxdepth 1 -type d -name 'pugixml-*' | head -n 1)
cmake -S "$pugixml_src" -B pugixml-build "${cmake_cross[@]}" -DPUGIXML_BUILD_TESTS=OFF >/dev/null
cmake --build pugixml-build -j "$jobs" --target install >/dev/null

echo "== gSOAP runtime"
# Only the C++ runtime library is built for Windows; the code generator runs on the build machine
# (Debian's soapcpp2 of the same release).
apt-get source gsoap >/dev/null
gsoap_src=$(find . -maxdepth 1 -type d -name 'gsoap-*' | head -n 1)
mkdir -p gsoap-build "$prefix/include" "$prefix/lib/pkgconfig"
"$cxx" -O2 -c "$gsoap_src/gsoap/stdsoap2.cpp" -o gsoap-build/stdsoap2.o
$host-ar rcs "$prefix/lib/libgsoap++.a" gsoap-build/stdsoap2.o
cp "$gsoap_src/gsoap/stdsoap2.h" "$prefix/include/"
gsoap_version=$(dpkg-parsechangelog -l "$gsoap_src/debian/changelog" -S Version | sed 's/-[^-]*$//')
cat >"$prefix/lib/pkgconfig/gsoap++.pc" <<EOF
prefix=$prefix
Name: gsoap++
Description: gSOAP C++ runtime for mingw-w64
Version: ${gsoap_version:-2.8}
Cflags: -I\${prefix}/include
Libs: -L\${prefix}/lib -lgsoap++ -lws2_32
EOF

echo "== GoogleTest"
# Debian's libgtest-dev ships the sources it was built from.
cmake -S /usr/src/googletest -B googletest-build "${cmake_cross[@]}" \
    -Dgtest_disable_pthreads=OFF >/dev/null
cmake --build googletest-build -j "$jobs" --target install >/dev/null

rm -rf "$cache/src"
echo "$recipe" >"$prefix/.complete"
echo "Windows dependencies built in $((SECONDS - started)) s into $prefix"
