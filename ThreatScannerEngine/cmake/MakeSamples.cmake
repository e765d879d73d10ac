# Writes the sample folder: a clean file, the standard antivirus test file, the same in a zip
# archive and in a zip inside a zip. The test string is put together here rather than stored.
# Usage: cmake -DFOLDER=<folder> -P MakeSamples.cmake
if(NOT FOLDER)
    message(FATAL_ERROR "FOLDER is not set")
endif()

string(CONCAT test_string
    "X5O!P%@AP[4\\PZX54(P^)7CC)7}$"
    "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*")

file(REMOVE_RECURSE ${FOLDER})
file(MAKE_DIRECTORY ${FOLDER}/Archives)
file(WRITE ${FOLDER}/readme.txt
    "This folder holds harmless files that antivirus programs report on purpose.\n"
    "eicar.com is the industry's standard test file; the Archives folder holds it in a zip\n"
    "archive and in a zip archive inside another.\n")
file(WRITE ${FOLDER}/eicar.com "${test_string}")

set(work ${FOLDER}/.work)
file(MAKE_DIRECTORY ${work}/inner ${work}/outer)
file(WRITE ${work}/inner/eicar.com "${test_string}")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ../outer/eicar.zip --format=zip eicar.com
    WORKING_DIRECTORY ${work}/inner RESULT_VARIABLE result)
if(result)
    message(FATAL_ERROR "Couldn't write eicar.zip")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${FOLDER}/Archives/nested.zip --format=zip
    eicar.zip WORKING_DIRECTORY ${work}/outer RESULT_VARIABLE result)
if(result)
    message(FATAL_ERROR "Couldn't write nested.zip")
endif()
file(RENAME ${work}/outer/eicar.zip ${FOLDER}/Archives/eicar.zip)
file(REMOVE_RECURSE ${work})
