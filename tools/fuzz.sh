#!/usr/bin/env bash
# Builds the fuzz targets with Clang (build-fuzz) and runs each of them for the given number of
# seconds (default 20), one after the other, with AddressSanitizer and UndefinedBehaviorSanitizer.
# Fails when a target does not build or any run finds something; the input that found it is
# kept in build-fuzz/findings/<target>/.
#
#   tools/fuzz.sh [seconds] [target...]
#
# Each run starts from the seeds in fuzz/corpus/<target> and the inputs earlier runs found in
# build-fuzz/corpus/<target>, which it extends; fuzz/dict/ holds the dictionaries. Set
# FUZZ_STATS to a file to collect libFuzzer's final statistics of every run there.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true

# The SOAP runtime's source of the installed release, so that the components-service target
# fuzzes the runtime's HTTP and XML reading too (without it the target uses the shared library).
gsoap_source=
gsoap_version=$(dpkg-query -W -f='${Version}' libgsoap-dev 2>/dev/null || true)
if [ -n "$gsoap_version" ]; then
    gsoap_folder=build-fuzz/gsoap-source/$gsoap_version
    if [ ! -f "$gsoap_folder/stdsoap2.cpp" ]; then
        rm -rf "$gsoap_folder.download" && mkdir -p "$gsoap_folder.download"
        if (cd "$gsoap_folder.download" && apt-get source "gsoap=$gsoap_version" >/dev/null 2>&1); then
            mkdir -p "$gsoap_folder"
            cp "$gsoap_folder".download/gsoap-*/gsoap/stdsoap2.cpp "$gsoap_folder/"
        else
            echo "warning: no gSOAP source package; the components-service target uses the shared runtime"
        fi
        rm -rf "$gsoap_folder.download"
    fi
    [ -f "$gsoap_folder/stdsoap2.cpp" ] && gsoap_source=$PWD/$gsoap_folder/stdsoap2.cpp
fi

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DCORVANE_FUZZ=ON -DCORVANE_FUZZ_GSOAP_SOURCE="$gsoap_source" \
    >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target fuzz_targets

if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for source in fuzz/fuzz_*.cpp; do
        targets+=("$(basename "$source" .cpp)")
    done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ] && [ -x /usr/lib/llvm-14/bin/llvm-symbolizer ]; then
    export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
fi

failed=()
for target in "${targets[@]}"; do
    corpus=build-fuzz/corpus/$target
    findings=build-fuzz/findings/$target
    mkdir -p "$corpus" "$findings"
    options=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$findings/"
        -timeout=10 -rss_limit_mb=2048)
    for dictionary in "fuzz/dict/$target.dict" "fuzz/dict/${target%_*}.dict"; do
        if [ -f "$dictionary" ]; then
            options+=(-dict="$dictionary")
            break
        fi
    done
    echo "== $target (${seconds} s)"
    log=build-fuzz/findings/$target.log
    if build-fuzz/fuzz/"$target" "${options[@]}" "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
        grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' \
            "$log" | sed 's/^/   /'
        if [ -n "${FUZZ_STATS:-}" ]; then
            echo "$target $(grep -E '^stat::' "$log" | tr -s ' ' | tr '\n' ' ')" >>"$FUZZ_STATS"
        fi
    else
        echo "   FINDING: see $log and $findings/"
        tail -n 40 "$log"
        failed+=("$target")
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "Fuzzing found something in: ${failed[*]}"
    exit 1
fi
echo "Fuzzing found nothing (${#targets[@]} targets, ${seconds} s each)"
