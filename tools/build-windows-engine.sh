#!/usr/bin/env bash
# Builds the engine library (libclamav) and the libraries it needs for mingw-w64 from Debian's own
# source packages, once, into a cache of its own beside the one build-windows-dependencies.sh
# fills. Later runs find the finished cache and return at once; an interrupted run resumes after
# the last library it finished. Run as root (or via sudo) the first time: it installs Debian's
# Rust compiler with its standard library sources and adds a deb-src entry for this release
# (install-dependencies.sh --windows).
#
#   CORVANE_WINDOWS_DEPS  cache folder (default ~/.cache/corvane/mingw-w64); the libraries land in
#                         its engine-prefix/ folder, the build logs in engine-src/ (where the
#                         sources and build trees are removed once everything is built).
#   CORVANE_JOBS          parallel jobs (default: the number of processors)
#
# Arguments name single stages to build (bzip2 libxml2 pcre2 json_c libmspack openssl clamav);
# without any, every missing stage is built and the cache marked complete.
#
# libclamav's Rust part is built with Debian's cargo and rustc (rustc-web), never with another
# toolchain found on the PATH. Debian has no Windows standard library for that compiler, so cargo
# builds it from rust-web-src (-Zbuild-std), offline, from the crates vendored in both sources.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${CORVANE_WINDOWS_DEPS:-$HOME/.cache/corvane/mingw-w64}
prefix=$cache/engine-prefix
src=$cache/engine-src
# Bump when the set of libraries, their build options or the patch change.
recipe=1
jobs=${CORVANE_JOBS:-$(nproc)}
host=x86_64-w64-mingw32
rust_target=x86_64-pc-windows-gnu

if [ -f "$prefix/.complete" ] && [ "$(cat "$prefix/.complete")" = "$recipe" ]; then
    echo "Windows engine libraries are ready in $prefix"
    exit 0
fi

"$here/install-dependencies.sh" --windows

# A stale prefix from another recipe is rebuilt from scratch.
if [ -f "$prefix/.recipe" ] && [ "$(cat "$prefix/.recipe")" != "$recipe" ]; then
    rm -rf "$prefix" "$src"
fi
mkdir -p "$prefix" "$src"
echo "$recipe" >"$prefix/.recipe"
cd "$src"
started=$SECONDS

cc=$(command -v $host-gcc-posix)
cxx=$(command -v $host-g++-posix)
cmake_cross=(-DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=x86_64
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_RC_COMPILER=$host-windres
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix"
    -DCMAKE_FIND_ROOT_PATH="$prefix;/usr/$host" -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER
    -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY
    -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY -DBUILD_SHARED_LIBS=OFF)

# Unpacks the newest source package of $1 that apt can fetch and prints its folder.
fetch() {
    rm -rf "$1"-[0-9]* "$1"_*
    apt-get source --only-source "$1" >"$1.fetch.log" 2>&1 || { cat "$1.fetch.log" >&2; exit 1; }
    find . -maxdepth 1 -type d -name "$1-[0-9]*" | head -n 1
}

# Runs stage $1 (a function) unless an earlier run finished it; records its version and time.
stage() {
    local name=$1 began=$SECONDS
    [ -f "$prefix/.built-$name" ] && return 0
    echo "== $name"
    # In a subshell of its own, outside any || list: there, a failing command stops the build
    # (errexit is ignored in functions called as the left side of ||).
    local status=0
    set +e
    (
        set -e
        "build_$name"
        echo "$version" >"$src/$name.version"
    ) >"$src/$name.log" 2>&1
    status=$?
    set -e
    if [ $status -ne 0 ]; then
        tail -n 80 "$src/$name.log"
        exit 1
    fi
    echo "$name $(cat "$src/$name.version") $((SECONDS - began)) s" | tee "$prefix/.built-$name"
}

build_bzip2() {
    local dir
    dir=$(fetch bzip2)
    version=$(cd "$dir" && dpkg-parsechangelog -S Version)
    mkdir -p bzip2-build "$prefix/include" "$prefix/lib"
    for file in blocksort huffman crctable randtable compress decompress bzlib; do
        "$cc" -O2 -D_FILE_OFFSET_BITS=64 -c "$dir/$file.c" -o "bzip2-build/$file.o"
    done
    rm -f "$prefix/lib/libbz2.a"
    $host-ar rcs "$prefix/lib/libbz2.a" bzip2-build/*.o
    cp "$dir/bzlib.h" "$prefix/include/"
}

build_libxml2() {
    local dir
    dir=$(fetch libxml2)
    version=$(cd "$dir" && dpkg-parsechangelog -S Version)
    cmake -S "$dir" -B libxml2-build "${cmake_cross[@]}" -DLIBXML2_WITH_PYTHON=OFF \
        -DLIBXML2_WITH_ICONV=OFF -DLIBXML2_WITH_ICU=OFF -DLIBXML2_WITH_LZMA=OFF \
        -DLIBXML2_WITH_ZLIB=OFF -DLIBXML2_WITH_HTTP=OFF -DLIBXML2_WITH_FTP=OFF \
        -DLIBXML2_WITH_TESTS=OFF -DLIBXML2_WITH_PROGRAMS=OFF
    cmake --build libxml2-build -j "$jobs" --target install
}

build_pcre2() {
    local dir
    dir=$(fetch pcre2)
    version=$(cd "$dir" && dpkg-parsechangelog -S Version)
    cmake -S "$dir" -B pcre2-build "${cmake_cross[@]}" -DPCRE2_BUILD_PCRE2_8=ON \
        -DPCRE2_BUILD_TESTS=OFF -DPCRE2_BUILD_PCRE2GREP=OFF -DPCRE2_SUPPORT_JIT=OFF
    cmake --build pcre2-build -j "$jobs" --target install
}

build_json_c() {
    local dir
    dir=$(fetch json-c)
    version=$(cd "$dir" && dpkg-parsechangelog -S Version)
    cmake -S "$dir" -B json-c-build "${cmake_cross[@]}" -DBUILD_STATIC_LIBS=ON \
        -DBUILD_TESTING=OFF -DDISABLE_WERROR=ON -DBUILD_APPS=OFF
    cmake --build json-c-build -j "$jobs" --target install
}

build_libmspack() {
    local dir
    dir=$(fetch libmspack)
    version=$(cd "$dir" && dpkg-parsechangelog -S Version)
    (
        cd "$dir"
        ./configure --host=$host CC="$cc" --prefix="$prefix" --disable-shared --enable-static
        make -j "$jobs"
        make install
    )
}

build_openssl() {
    local dir
    dir=$(fetch openssl)
    version=$(cd "$dir" && dpkg-parsechangelog -S Version)
    (
        cd "$dir"
        ./Configure mingw64 no-shared no-tests no-module --prefix="$prefix" --libdir=lib \
            CC="$cc" AR=$host-ar RANLIB=$host-ranlib RC=$host-windres
        make -j "$jobs" build_libs
        make install_dev
    )
}

build_clamav() {
    local dir
    dir=$(fetch clamav)
    version=$(cd "$dir" && dpkg-parsechangelog -S Version)
    # Debian's +dfsg source has no Windows compatibility layer; ours comes with the build fixes.
    patch -d "$dir" -p1 <"$here/windows/clamav-mingw.patch"
    # One offline crate source for cargo: the engine's vendored crates and those of the
    # standard library's sources (needed to build std for Windows).
    local crate
    for crate in /usr/lib/rustlib/src/rust/library/vendor/*; do
        [ -e "$dir/.cargo/vendor/$(basename "$crate")" ] ||
            ln -s "$crate" "$dir/.cargo/vendor/$(basename "$crate")"
    done
    # Cargo reads a list from its environment separated by spaces; only newer releases than
    # Debian 12's first rustc-web (1.85) also take commas.
    local rust_env=(PATH="/usr/bin:$PATH" RUSTC=/usr/bin/rustc CARGO=/usr/bin/cargo
        RUSTDOC=/usr/bin/rustdoc RUSTC_BOOTSTRAP=1 CARGO_UNSTABLE_BUILD_STD="std panic_abort"
        CARGO_HOME="$src/cargo-home"
        CARGO_TARGET_X86_64_PC_WINDOWS_GNU_LINKER="$cc")
    # Static libraries need their own defines in every user (no dllimport). The Rust part's
    # system libraries are named here: the build machine's compiler can only tell its own.
    # unrar is not in Debian's source; the descriptor-passing check cannot run in a cross build.
    rm -rf clamav-build
    env "${rust_env[@]}" cmake -S "$dir" -B clamav-build "${cmake_cross[@]}" \
        -DCMAKE_C_FLAGS="-DLIBXML_STATIC -DPCRE2_STATIC -DJSON_C_STATIC" \
        -DENABLE_LIBCLAMAV_ONLY=ON -DENABLE_SHARED_LIB=OFF -DENABLE_STATIC_LIB=ON \
        -DENABLE_TESTS=OFF -DENABLE_UNRAR=OFF -DENABLE_JSON_SHARED=OFF -DDATABASE_DIRECTORY=. \
        -DENABLE_EXTERNAL_MSPACK=ON -DMSPack_INCLUDE_DIR="$prefix/include" \
        -DMSPack_LIBRARY="$prefix/lib/libmspack.a" \
        -DZLIB_INCLUDE_DIR=/usr/$host/include -DZLIB_LIBRARY=/usr/$host/lib/libz.a \
        -DOPENSSL_ROOT_DIR="$prefix" -DOPENSSL_USE_STATIC_LIBS=ON \
        -Dcargo_EXECUTABLE=/usr/bin/cargo -Drustc_EXECUTABLE=/usr/bin/rustc \
        -DRUST_COMPILER_TARGET=$rust_target \
        "-DRUST_NATIVE_STATIC_LIBS=kernel32;advapi32;ntdll;userenv;ws2_32;bcrypt;synchronization" \
        -Dtest_run_result=1 -Dtest_run_result__TRYRUN_OUTPUT=
    env "${rust_env[@]}" cmake --build clamav-build -j "$jobs"
    install_clamav "$dir" clamav-build
    check_clamav
}

# The engine's install rules assume MSVC: copy the public headers and the static libraries, and
# describe them for pkg-config.
install_clamav() {
    local dir=$1 build=$2
    mkdir -p "$prefix/include" "$prefix/lib/pkgconfig"
    cp "$dir/libclamav/clamav.h" "$build/clamav-types.h" "$build/clamav-version.h" \
        "$prefix/include/"
    cp "$build/libclamav/libclamav_static.a" "$prefix/lib/libclamav.a"
    cp "$build/$rust_target/release/libclamav_rust.a" "$prefix/lib/libclamav_rust.a"
    cp "$build/win32/compat/libwin32_compat.a" "$prefix/lib/libclamav_win32_compat.a"
    cat >"$prefix/lib/pkgconfig/libclamav.pc" <<EOF
prefix=$prefix
Name: libclamav
Description: Engine library for mingw-w64, static
Version: ${version%%+*}
Cflags: -I\${prefix}/include
Libs: -L\${prefix}/lib -lclamav -lclamav_rust -lclamav_win32_compat -lssl -lcrypto -ljson-c -lxml2 -lpcre2-8 -lmspack -lbz2 -lz -lpthread -lws2_32 -lwsock32 -lcrypt32 -lbcrypt -luserenv -lntdll -ladvapi32 -lsynchronization
EOF
}

# Proof that the library works: a one-line signature loads and the test file is detected, under
# Wine with the stand-in for the random-number library Wine 8 lacks (windows/bcryptprimitives.c).
check_clamav() {
    rm -rf engine-check && mkdir -p engine-check/work
    local libs
    libs=$(PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" pkg-config --libs libclamav)
    # shellcheck disable=SC2086
    "$cc" -O2 -I"$prefix/include" "$here/windows/engine-check.c" \
        -o engine-check/engine-check.exe -static $libs
    "$cc" -O2 -shared -static -o engine-check/bcryptprimitives.dll \
        "$here/windows/bcryptprimitives.c" "$here/windows/bcryptprimitives.def" -lbcrypt
    [ -x /usr/lib/wine/wine64 ] || return 0
    # The scanner's sample archives: the test file in a zip and in a zip inside a zip.
    cmake -DFOLDER="$src/engine-check/samples" -P "$here/../ThreatScannerEngine/cmake/MakeSamples.cmake"
    local status=0
    WINEPREFIX="$src/engine-check/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        /usr/lib/wine/wine64 engine-check/engine-check.exe "Z:$src/engine-check/work" \
        "Z:$src/engine-check/samples/Archives/eicar.zip" \
        "Z:$src/engine-check/samples/Archives/nested.zip" || status=$?
    WINEPREFIX="$src/engine-check/wine" /usr/lib/wine/wineserver -k 2>/dev/null || true
    return $status
}

# Named stages only (for working on one library): build them and stop.
if [ $# -gt 0 ]; then
    for name in "$@"; do stage "$name"; done
    exit 0
fi

stage bzip2
stage libxml2
stage pcre2
stage json_c
stage libmspack
stage openssl
stage clamav

# Sources and build trees (gigabytes, most of it Rust's) go; the build logs stay.
find "$src" -mindepth 1 -maxdepth 1 ! -name '*.log' -exec rm -rf {} +
cat "$prefix"/.built-* >"$prefix/VERSIONS"
echo "$recipe" >"$prefix/.complete"
echo "Windows engine libraries built in $((SECONDS - started)) s into $prefix"
