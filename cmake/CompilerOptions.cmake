# Warnings for every target of the tree, and the optional sanitizer build.
add_compile_options(-Wall -Wextra)
add_compile_definitions(BOOST_FILESYSTEM_NO_DEPRECATED)
if(WIN32)
    # Static Boost. The Windows version is the toolchain's default (Windows 10), which the Boost
    # libraries in the dependency cache were built with: Boost.Log's symbols depend on it. The
    # wide (UTF-16) Windows interfaces, as TCHAR texts such as _com_error's messages are wide;
    # windows.h without min/max macros.
    add_compile_definitions(_WIN32_WINNT=0x0A00 UNICODE _UNICODE NOMINMAX)
else()
    # Boost.Log and friends must agree on the dynamic-link configuration.
    add_compile_definitions(BOOST_ALL_DYN_LINK)
endif()

if(CORVANE_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
