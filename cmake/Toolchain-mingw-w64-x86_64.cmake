# Cross build for 64-bit Windows with Debian's mingw-w64 compilers (POSIX thread model, which
# std::thread needs). The libraries come from the caches that tools/build-windows-libraries.sh
# fills, in the folders its current recipes name (CORVANE_WINDOWS_DEPS names another root).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(corvane_triple x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER ${corvane_triple}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER ${corvane_triple}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER ${corvane_triple}-windres)

foreach(set libraries engine)
    execute_process(
        COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../tools/build-windows-libraries.sh --folder ${set}
        OUTPUT_VARIABLE corvane_windows_${set} OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE corvane_folder_result)
    if(NOT corvane_folder_result EQUAL 0)
        message(FATAL_ERROR "tools/build-windows-libraries.sh --folder ${set} failed")
    endif()
endforeach()
set(corvane_windows_deps "${corvane_windows_libraries}/prefix")
# The engine's libraries (libclamav and what it needs); the engine and the update library are
# built only when they are there.
set(CORVANE_WINDOWS_ENGINE_PREFIX "${corvane_windows_engine}/prefix")
# A build folder configured on other caches (older recipes) forgets what it found there: the
# packages' folders, the libraries pkg-config named, and that pkg-config was asked.
set(corvane_windows_caches "${corvane_windows_libraries};${corvane_windows_engine}")
if(NOT "$CACHE{CORVANE_WINDOWS_CACHES}" STREQUAL "${corvane_windows_caches}")
    get_filename_component(corvane_windows_root "${corvane_windows_libraries}" DIRECTORY)
    get_cmake_property(corvane_cached CACHE_VARIABLES)
    foreach(variable IN LISTS corvane_cached)
        if(variable MATCHES "^__pkg_config_checked_" OR
           "$CACHE{${variable}}" MATCHES "^${corvane_windows_root}/")
            unset(${variable} CACHE)
        endif()
    endforeach()
    set(CORVANE_WINDOWS_CACHES "${corvane_windows_caches}" CACHE INTERNAL
        "The Windows library caches this build folder was configured on")
endif()
if(NOT EXISTS "${corvane_windows_deps}/.complete")
    message(FATAL_ERROR "No Windows libraries in ${corvane_windows_deps}: "
        "run tools/build-windows-libraries.sh first")
endif()

# Libraries and headers only from the mingw sysroot and the cache; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${corvane_triple} ${corvane_windows_deps})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "${corvane_windows_deps}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Self-contained executables and DLLs: the compiler's runtime (libstdc++, libgcc, winpthread) is
# linked in, so a program folder needs no mingw DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
set(Boost_USE_STATIC_LIBS ON)
