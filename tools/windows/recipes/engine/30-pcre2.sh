# shellcheck shell=bash disable=SC2034,SC2154
# PCRE2, 8-bit, without the just-in-time compiler.
package=pcre2
cmake_options=(-DPCRE2_BUILD_PCRE2_8=ON -DPCRE2_BUILD_TESTS=OFF -DPCRE2_BUILD_PCRE2GREP=OFF
    -DPCRE2_SUPPORT_JIT=OFF)
