# shellcheck shell=bash disable=SC2034,SC2154
# GoogleTest, from the sources Debian's libgtest-dev ships (the version it was built from).
source_folder=/usr/src/googletest
version_package=libgtest-dev
cmake_options=(-Dgtest_disable_pthreads=OFF)
