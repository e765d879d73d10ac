# shellcheck shell=bash disable=SC2034,SC2154
# libclamav, static, with our Windows compatibility layer (clamav-mingw.patch; Debian's +dfsg
# source has none). Its Rust part is built with Debian's cargo and rustc (rustc-web), never with
# another toolchain found on the PATH. Debian has no Windows standard library for that compiler, so
# cargo builds it from rust-web-src (-Zbuild-std), offline, from the crates vendored in both
# sources. The engine's install rules assume MSVC: the headers and static libraries are copied.
package=clamav

build() {
    patch -p1 <"$recipe_folder/clamav-mingw.patch"
    # One offline crate source for cargo: the engine's vendored crates and those of the standard
    # library's sources (needed to build std for Windows).
    local crate
    for crate in /usr/lib/rustlib/src/rust/library/vendor/*; do
        [ -e ".cargo/vendor/$(basename "$crate")" ] ||
            ln -s "$crate" ".cargo/vendor/$(basename "$crate")"
    done
    # Cargo reads a list from its environment separated by spaces; only newer releases than
    # Debian 12's first rustc-web (1.85) also take commas. Source paths are recorded relative to
    # the cache and the standard library's sources, as for the C parts.
    local rust_env=(PATH="/usr/bin:$PATH" RUSTC=/usr/bin/rustc CARGO=/usr/bin/cargo
        RUSTDOC=/usr/bin/rustdoc RUSTC_BOOTSTRAP=1 CARGO_UNSTABLE_BUILD_STD="std panic_abort"
        CARGO_HOME="$PWD/../cargo-home" CARGO_TARGET_X86_64_PC_WINDOWS_GNU_LINKER="$cc"
        RUSTFLAGS="--remap-path-prefix=$cache=. --remap-path-prefix=/usr/lib/rustlib/src/rust=rust")
    # Static libraries need their own defines in every user (no dllimport). The Rust part's
    # system libraries are named here: the build machine's compiler can only tell its own.
    # unrar is not in Debian's source; the descriptor-passing check cannot run in a cross build.
    env "${rust_env[@]}" cmake -S . -B build "${cmake_cross[@]}" \
        -DCMAKE_C_FLAGS="$map_flags -DLIBXML_STATIC -DPCRE2_STATIC -DJSON_C_STATIC" \
        -DENABLE_LIBCLAMAV_ONLY=ON -DENABLE_SHARED_LIB=OFF -DENABLE_STATIC_LIB=ON \
        -DENABLE_TESTS=OFF -DENABLE_UNRAR=OFF -DENABLE_JSON_SHARED=OFF -DDATABASE_DIRECTORY=. \
        -DENABLE_EXTERNAL_MSPACK=ON -DMSPack_INCLUDE_DIR="$prefix/include" \
        -DMSPack_LIBRARY="$prefix/lib/libmspack.a" \
        -DZLIB_INCLUDE_DIR="/usr/$host/include" -DZLIB_LIBRARY="/usr/$host/lib/libz.a" \
        -DOPENSSL_ROOT_DIR="$prefix" -DOPENSSL_USE_STATIC_LIBS=ON \
        -Dcargo_EXECUTABLE=/usr/bin/cargo -Drustc_EXECUTABLE=/usr/bin/rustc \
        -DRUST_COMPILER_TARGET="$rust_target" \
        "-DRUST_NATIVE_STATIC_LIBS=kernel32;advapi32;ntdll;userenv;ws2_32;bcrypt;synchronization" \
        -Dtest_run_result=1 -Dtest_run_result__TRYRUN_OUTPUT=
    env "${rust_env[@]}" cmake --build build -j "$jobs"

    mkdir -p "$prefix/include" "$prefix/lib/pkgconfig"
    cp libclamav/clamav.h build/clamav-types.h build/clamav-version.h "$prefix/include/"
    cp build/libclamav/libclamav_static.a "$prefix/lib/libclamav.a"
    cp "build/$rust_target/release/libclamav_rust.a" "$prefix/lib/libclamav_rust.a"
    cp build/win32/compat/libwin32_compat.a "$prefix/lib/libclamav_win32_compat.a"
    # The engine's own description names its shared library only; a static link needs the rest.
    sed -e "s|^prefix=.*|prefix=$prefix|" -e "s|^exec_prefix=.*|exec_prefix=\${prefix}|" \
        -e "s|^libdir=.*|libdir=\${prefix}/lib|" -e "s|^includedir=.*|includedir=\${prefix}/include|" \
        -e "s|^Libs:.*|Libs: -L\${libdir} -lclamav -lclamav_rust -lclamav_win32_compat -lssl -lcrypto -ljson-c -lxml2 -lpcre2-8 -lmspack -lbz2 -lz -lpthread -lws2_32 -lwsock32 -lcrypt32 -lbcrypt -luserenv -lntdll -ladvapi32 -lsynchronization|" \
        -e '/^Libs.private:/d' build/libclamav.pc >"$prefix/lib/pkgconfig/libclamav.pc"
    check_clamav
}

# Proof that the library works: a one-line signature loads and the test file is detected, also in
# a zip and in a zip inside a zip, under Wine with the stand-in for the random-number library
# Wine 8 lacks (bcryptprimitives.c).
check_clamav() {
    local libs check=$PWD/engine-check status=0
    rm -rf "$check" && mkdir -p "$check/work"
    libs=$(PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" pkg-config --libs libclamav)
    # shellcheck disable=SC2086 # a list of flags
    "$cc" -O2 -I"$prefix/include" "$tools/windows/engine-check.c" -o "$check/engine-check.exe" \
        -static $libs
    "$cc" -O2 -shared -static -o "$check/bcryptprimitives.dll" \
        "$tools/windows/bcryptprimitives.c" "$tools/windows/bcryptprimitives.def" -lbcrypt
    [ -x /usr/lib/wine/wine64 ] || return 0
    cmake -DFOLDER="$check/samples" -P "$tools/../ThreatScannerEngine/cmake/MakeSamples.cmake"
    WINEPREFIX="$check/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        /usr/lib/wine/wine64 "$check/engine-check.exe" "Z:$check/work" \
        "Z:$check/samples/Archives/eicar.zip" "Z:$check/samples/Archives/nested.zip" ||
        status=$?
    WINEPREFIX="$check/wine" /usr/lib/wine/wineserver -k 2>/dev/null || true
    return $status
}
