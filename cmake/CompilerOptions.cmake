# Warnings for every target of the tree, and the optional sanitizer build.
add_compile_options(-Wall -Wextra)
add_compile_definitions(BOOST_FILESYSTEM_NO_DEPRECATED)
if(WIN32)
    # Static Boost. The Windows version is the toolchain's default (Windows 10), which the Boost
    # libraries in the dependency cache were built with: Boost.Log's symbols depend on it. The
    # wide (UTF-16) Windows interfaces, as TCHAR texts such as _com_error's messages are wide;
    # windows.h without min/max macros.
    add_compile_definitions(_WIN32_WINNT=0x0A00 UNICODE _UNICODE NOMINMAX)
    # Source file names that end up in the binaries (assertions, exception locations) are
    # recorded relative to the tree and the library caches: a build-machine path in a Windows
    # binary would read as a folder on the current drive.
    foreach(folder ${PROJECT_SOURCE_DIR} ${corvane_windows_libraries} ${corvane_windows_engine})
        add_compile_options(-ffile-prefix-map=${folder}=.)
    endforeach()
else()
    # Programs link Boost (see BoostLibraries.cmake) and OpenSSL's libcrypto statically: resolving
    # their thousands of symbols cost more than a short job itself. Nothing of a static library
    # is exported again from our programs and libraries, so a library loaded later (libclamav,
    # libcurl) keeps binding to its own shared copy.
    set(Boost_USE_STATIC_LIBS ON)
    set(OPENSSL_USE_STATIC_LIBS ON)
    # Only these archives: the sanitizers' and libFuzzer's static runtimes must stay visible to
    # replace malloc and operator new.
    set(static_archives libcrypto.a)
    foreach(boost atomic chrono container date_time filesystem json locale log program_options
                  regex thread)
        list(APPEND static_archives libboost_${boost}.a)
    endforeach()
    list(JOIN static_archives ":" static_archives)
    add_link_options(-Wl,--exclude-libs,${static_archives})
endif()

if(CORVANE_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

if(CORVANE_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR WIN32)
        message(FATAL_ERROR "CORVANE_FUZZ needs Clang on Linux (-DCMAKE_CXX_COMPILER=clang++)")
    endif()
    if(CORVANE_SANITIZE)
        message(FATAL_ERROR "CORVANE_FUZZ brings its own sanitizers; leave CORVANE_SANITIZE off")
    endif()
    # Coverage for libFuzzer in every C++ object; the fuzz targets add libFuzzer itself.
    add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:-fsanitize=fuzzer-no-link,address,undefined>"
        "$<$<COMPILE_LANGUAGE:CXX>:-fno-sanitize-recover=all>" -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
