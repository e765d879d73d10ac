# corvane_delay_import(<system library> <variable>)
# Sets the variable to an import library that imports the functions listed in
# cmake/delay-imports/<system library>.def on their first call instead of at start-up. Windows
# takes only some libraries (the "known" ones) from its system folder whatever the search order;
# the others, imported the ordinary way, the loader would look for in the program's folder
# before the program could restrict the search (see DllHelper/LibrarySearch.h). Imported on
# first call, they are looked for after that. The library is made at configure time.
find_program(CORVANE_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)
function(corvane_delay_import system_library variable)
    set(def ${CMAKE_SOURCE_DIR}/cmake/delay-imports/${system_library}.def)
    set(library ${CMAKE_BINARY_DIR}/delay-imports/lib${system_library}-delay.a)
    if(NOT EXISTS ${library} OR ${def} IS_NEWER_THAN ${library})
        file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/delay-imports)
        execute_process(COMMAND ${CORVANE_DLLTOOL} --input-def ${def}
                --dllname ${system_library}.dll --output-delaylib ${library}
            RESULT_VARIABLE result)
        if(NOT result EQUAL 0)
            message(FATAL_ERROR "Couldn't make the delay-load import library of ${system_library}")
        endif()
    endif()
    set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def})
    set(${variable} ${library} PARENT_SCOPE)
endfunction()
