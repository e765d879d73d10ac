#!/usr/bin/env bash
# Builds the libraries the Windows build links, for mingw-w64, from Debian's own source packages,
# once, into caches outside the work tree. Two sets, each with the recipes of its libraries in
# tools/windows/recipes/<set>/ (built in the order of their names):
#   libraries  Boost, pugixml, the gSOAP runtime and GoogleTest (the program and its tests)
#   engine     libclamav and the libraries it needs (the engine and the update library)
# A set's cache folder is named by a digest of its recipes and the settings they share
# (tools/windows/recipes/common.sh): a changed recipe builds into a new folder beside the old one,
# and a cache in use is never changed or removed by a build. Later runs find a finished cache and
# return at once; an interrupted run resumes after the last library it finished. Each library
# leaves its output in the cache's logs/ folder and a stamp (version, seconds) in stamps/.
#
# Usage: tools/build-windows-libraries.sh [SET...]   build the sets (default: both)
#        tools/build-windows-libraries.sh --folder SET  print the cache folder of SET
#        tools/build-windows-libraries.sh --prune       remove the caches of other recipes
#
#   CORVANE_WINDOWS_DEPS  root of the caches (default ~/.cache/corvane/mingw-w64)
#   CORVANE_JOBS          parallel jobs (default: the number of processors)
#
# Run as root (or via sudo) the first time: it installs the cross compilers, Wine and Debian's Rust
# compiler with its standard library sources, and adds a deb-src entry for this release
# (install-dependencies.sh --windows).
# shellcheck source-path=SCRIPTDIR
set -euo pipefail
tools=$(cd "$(dirname "$0")" && pwd)
recipes=$tools/windows/recipes
root=${CORVANE_WINDOWS_DEPS:-$HOME/.cache/corvane/mingw-w64}
jobs=${CORVANE_JOBS:-$(nproc)}
all_sets=(libraries engine)

# The cache folder of set $1: a digest of every file that decides what the set holds.
cache_folder() {
    local digest
    [ -d "$recipes/$1" ] || { echo "no recipes for a set named $1" >&2; exit 2; }
    digest=$(cd "$recipes" && LC_ALL=C sha256sum common.sh "$1"/* | sha256sum | cut -c 1-16)
    echo "$root/$1-$digest"
}

# Builds one library from its recipe $1 into $prefix, in a fresh folder under $cache/src. A recipe
# names its Debian source package (package=) or a source folder on this machine (source_folder=,
# with version_package= for its version), and either CMake options (cmake_options=) or a build
# function run in the source folder.
build_library() {
    local recipe=$1 name source
    name=$(basename "$recipe" .sh)
    name=${name#*-}
    local package="" source_folder="" version_package="" version="" cmake_options=()
    unset -f build
    # shellcheck source=/dev/null
    . "$recipe"
    # Read by the recipes.
    # shellcheck disable=SC2034
    recipe_folder=$(dirname "$recipe")
    rm -rf "${cache:?}/src/$name"
    mkdir -p "$cache/src/$name"
    if [ -n "$package" ]; then
        source=$("$tools/fetch-debian-source.sh" "$package" "$cache/src/$name")
        version=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)
    else
        source=$source_folder
        version=$(dpkg-query -W -f='${Version}' "$version_package")
    fi
    if declare -F build >/dev/null; then
        (cd "$source" && build)
    else
        # cmake_cross comes from common.sh.
        # shellcheck disable=SC2154
        cmake -S "$source" -B "$cache/src/$name/build" "${cmake_cross[@]}" "${cmake_options[@]}"
        cmake --build "$cache/src/$name/build" -j "$jobs" --target install
    fi
    echo "$version" >"$cache/src/$name.version"
}

build_set() {
    local set=$1 recipe name began started=$SECONDS
    cache=$(cache_folder "$set")
    prefix=$cache/prefix
    if [ -f "$prefix/.complete" ]; then
        echo "Windows $set are ready in $cache"
        return 0
    fi
    mkdir -p "$cache/logs" "$cache/stamps" "$cache/src" "$prefix"
    # One builder per cache: a second run waits for the first and then finds it complete.
    exec 9>"$cache/.lock"
    flock 9
    if [ -f "$prefix/.complete" ]; then
        echo "Windows $set are ready in $cache"
        return 0
    fi
    # shellcheck source=windows/recipes/common.sh
    . "$recipes/common.sh"
    for recipe in "$recipes/$set"/*.sh; do
        name=$(basename "$recipe" .sh)
        name=${name#*-}
        [ -f "$cache/stamps/$name" ] && continue
        echo "== $set: $name"
        began=$SECONDS
        # In a subshell of its own, outside any || list: there, a failing command stops the
        # build (errexit is ignored in functions called as the left side of ||).
        local status=0
        set +e
        (
            set -e
            build_library "$recipe"
        ) >"$cache/logs/$name.log" 2>&1
        status=$?
        set -e
        if [ $status -ne 0 ]; then
            tail -n 80 "$cache/logs/$name.log"
            echo "Building $name failed; its output is in $cache/logs/$name.log"
            exit 1
        fi
        echo "$name $(cat "$cache/src/$name.version") $((SECONDS - began)) s" |
            tee "$cache/stamps/$name"
    done
    # Sources and build trees (gigabytes, most of it Rust's) go; the logs and stamps stay.
    rm -rf "${cache:?}/src"
    cat "$cache"/stamps/* >"$prefix/VERSIONS"
    date -u +%FT%TZ >"$prefix/.complete"
    exec 9>&-
    echo "Windows $set built in $((SECONDS - started)) s into $cache"
}

# Removes the caches that the current recipes do not name, unless a build holds them.
prune() {
    local set folder current
    for set in "${all_sets[@]}"; do
        current=$(cache_folder "$set")
        # Only folders named by a digest: other names there (such as an older layout's
        # engine-prefix) are not this script's to remove.
        for folder in "$root/$set"-????????????????; do
            if [ ! -d "$folder" ] || [ "$folder" = "$current" ] ||
                [[ ! "$(basename "$folder")" =~ ^$set-[0-9a-f]{16}$ ]]; then
                continue
            fi
            if (exec 9>>"$folder/.lock" && flock -n 9); then
                echo "removing $folder"
                rm -rf "$folder"
            fi
        done
    done
}

case "${1:-}" in
--folder)
    cache_folder "$2"
    ;;
--prune)
    prune
    ;;
*)
    [ $# -gt 0 ] || set -- "${all_sets[@]}"
    for set in "$@"; do
        if [ ! -f "$(cache_folder "$set")/prefix/.complete" ]; then
            "$tools/install-dependencies.sh" --windows
            break
        fi
    done
    for set in "$@"; do build_set "$set"; done
    ;;
esac
