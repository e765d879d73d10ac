# shellcheck shell=bash disable=SC2034,SC2154
# bzip2, as a static library of its library sources (its makefile builds only for the host).
package=bzip2

build() {
    local file
    mkdir -p objects "$prefix/include" "$prefix/lib"
    for file in blocksort huffman crctable randtable compress decompress bzlib; do
        # shellcheck disable=SC2086 # a list of flags
        "$cc" $cflags -D_FILE_OFFSET_BITS=64 -c "$file.c" -o "objects/$file.o"
    done
    rm -f "$prefix/lib/libbz2.a"
    "$host-ar" rcs "$prefix/lib/libbz2.a" objects/*.o
    cp bzlib.h "$prefix/include/"
}
