# shellcheck shell=bash disable=SC2034,SC2154
# json-c.
package=json-c
cmake_options=(-DBUILD_STATIC_LIBS=ON -DBUILD_TESTING=OFF -DDISABLE_WERROR=ON -DBUILD_APPS=OFF)
