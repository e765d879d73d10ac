# Warnings for every target of the tree, and the optional sanitizer build.
add_compile_options(-Wall -Wextra)
add_compile_definitions(BOOST_FILESYSTEM_NO_DEPRECATED)
if(WIN32)
    # Static Boost; Windows 7 and later; the wide (UTF-16) Windows interfaces, as TCHAR texts
    # such as _com_error's messages are wide; windows.h without min/max macros.
    add_compile_definitions(_WIN32_WINNT=0x0601 UNICODE _UNICODE NOMINMAX)
else()
    # Boost.Log and friends must agree on the dynamic-link configuration.
    add_compile_definitions(BOOST_ALL_DYN_LINK)
endif()

if(CORVANE_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
