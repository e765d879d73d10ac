# shellcheck shell=bash disable=SC2034,SC2154
# The gSOAP C++ runtime. Only the runtime library is built for Windows; the code generator runs on
# the build machine (Debian's soapcpp2 of the same release). gSOAP describes itself for pkg-config
# only through its autotools build, which this one library does not need: the description is
# written here.
package=gsoap

build() {
    mkdir -p "$prefix/include" "$prefix/lib/pkgconfig"
    # shellcheck disable=SC2086 # a list of flags
    "$cxx" $cflags -c gsoap/stdsoap2.cpp -o stdsoap2.o
    rm -f "$prefix/lib/libgsoap++.a"
    "$host-ar" rcs "$prefix/lib/libgsoap++.a" stdsoap2.o
    cp gsoap/stdsoap2.h "$prefix/include/"
    # The variables are pkg-config's, expanded when it reads the file.
    # shellcheck disable=SC2016
    printf '%s\n' "prefix=$prefix" "Name: gsoap++" "Description: gSOAP C++ runtime for mingw-w64" \
        "Version: ${version%%-*}" 'Cflags: -I${prefix}/include' \
        'Libs: -L${prefix}/lib -lgsoap++ -lws2_32' >"$prefix/lib/pkgconfig/gsoap++.pc"
}
