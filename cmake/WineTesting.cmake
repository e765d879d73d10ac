# Running the cross-built Windows programs on the build machine: every test (and test discovery)
# runs under Wine 8 in a Wine prefix of this build folder, created here once so that parallel test
# runs never race to create it. Wine's optional .NET and HTML components are not needed.
find_program(CORVANE_WINE64 wine64 PATHS /usr/lib/wine REQUIRED)
find_program(CORVANE_WINESERVER wineserver PATHS /usr/lib/wine REQUIRED)
set(CORVANE_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine)
set(CORVANE_WINE_ENVIRONMENT WINEPREFIX=${CORVANE_WINE_PREFIX} WINEDEBUG=-all
    "WINEDLLOVERRIDES=mscoree,mshtml=")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env ${CORVANE_WINE_ENVIRONMENT}
    ${PROJECT_SOURCE_DIR}/tools/windows/run-under-wine.sh ${CORVANE_WINE64})
if(NOT EXISTS ${CORVANE_WINE_PREFIX}/system.reg)
    message(STATUS "Creating the Wine prefix ${CORVANE_WINE_PREFIX}")
    execute_process(COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} wineboot --init
        RESULT_VARIABLE wineboot_result OUTPUT_QUIET ERROR_QUIET)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env ${CORVANE_WINE_ENVIRONMENT}
        ${CORVANE_WINESERVER} -w)
    if(NOT wineboot_result EQUAL 0 OR NOT EXISTS ${CORVANE_WINE_PREFIX}/system.reg)
        message(FATAL_ERROR "Cannot create the Wine prefix ${CORVANE_WINE_PREFIX}")
    endif()
endif()
