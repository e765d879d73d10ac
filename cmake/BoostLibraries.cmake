# CorvaneBoost::<component>: Boost's compiled libraries as our targets link them. On Linux,
# programs link them statically, which spares every start of the program the symbol lookups of
# eight shared libraries. Debian builds its static Boost libraries without -fPIC, so shared
# libraries (the engine, the update library, the test doubles) keep linking the shared ones: the
# choice follows the type of the target being linked. On Windows Boost is static throughout.
if(WIN32)
    # Boost.Filesystem takes random numbers from bcrypt.dll, which is imported on first call
    # instead (see DelayImports.cmake).
    include(${CMAKE_CURRENT_LIST_DIR}/DelayImports.cmake)
    corvane_delay_import(bcrypt bcrypt_delay)
    get_target_property(filesystem_links Boost::filesystem INTERFACE_LINK_LIBRARIES)
    list(TRANSFORM filesystem_links REPLACE "(^|:)bcrypt$" "\\1${bcrypt_delay};delayimp")
    set_target_properties(Boost::filesystem PROPERTIES INTERFACE_LINK_LIBRARIES "${filesystem_links}")
endif()
foreach(component program_options filesystem date_time locale regex thread log json)
    add_library(CorvaneBoost::${component} INTERFACE IMPORTED)
    if(WIN32)
        target_link_libraries(CorvaneBoost::${component} INTERFACE Boost::${component})
        continue()
    endif()
    find_library(CORVANE_BOOST_${component}_SHARED
        NAMES libboost_${component}.so.${Boost_VERSION} libboost_${component}.so REQUIRED)
    target_link_libraries(CorvaneBoost::${component} INTERFACE
        "$<IF:$<STREQUAL:$<TARGET_PROPERTY:TYPE>,SHARED_LIBRARY>,${CORVANE_BOOST_${component}_SHARED},Boost::${component}>")
endforeach()
