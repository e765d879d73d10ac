# shellcheck shell=bash disable=SC2034,SC2154
# OpenSSL's libraries, static. Nothing is ever loaded at run time: no engines, no provider modules.
# Its shared-object support stays: OpenSSL uses it to pin the DLL it is linked into, which is then
# never unloaded while OpenSSL's exit handlers are registered (without it a program that unloads
# the engine or the update library crashes at exit). The folders OpenSSL builds into itself (its configuration
# folder, where it would look for engines and modules) are absolute Windows paths in the system
# folder, which only administrators can create; as build-machine paths they would read as
# "\root\..." on whatever drive is current, a folder any user may create and fill.
package=openssl
openssl_folder=C:/Windows/System32/corvane-openssl

build() {
    ./Configure mingw64 no-shared no-tests no-module no-engine --prefix="$prefix" \
        --libdir=lib --openssldir="$openssl_folder" "$map_flags" \
        CC="$cc" AR="$host-ar" RANLIB="$host-ranlib" RC="$host-windres"
    # --openssldir takes a Windows path as a relative one on this machine, and the engines and
    # modules folders follow the installation prefix: all three are given to the compiler here.
    make -j "$jobs" build_libs OPENSSLDIR="$openssl_folder" \
        ENGINESDIR="$openssl_folder/engines-3" MODULESDIR="$openssl_folder/ossl-modules"
    make install_dev
}
