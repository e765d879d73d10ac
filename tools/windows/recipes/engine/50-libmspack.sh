# shellcheck shell=bash disable=SC2034,SC2154
# libmspack (cabinet and CHM archives).
package=libmspack

build() {
    ./configure --host="$host" CC="$cc" CFLAGS="$cflags" --prefix="$prefix" --disable-shared \
        --enable-static
    make -j "$jobs"
    make install
}
