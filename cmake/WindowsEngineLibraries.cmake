# corvane_without_export_marks(<imported target>)
# The engine cache's static libxml2 marks its functions for export, and a Windows DLL exports
# what the archives it links mark. The target's link list gets a copy of that archive without
# those marks, so that a DLL built on it exports only its own functions.
function(corvane_without_export_marks target)
    get_target_property(link_libraries ${target} INTERFACE_LINK_LIBRARIES)
    set(marked ${link_libraries})
    list(FILTER marked INCLUDE REGEX "/libxml2\\.a$")
    if(NOT marked)
        return()
    endif()
    set(unmarked ${CMAKE_BINARY_DIR}/unmarked-libraries/libxml2.a)
    if(NOT EXISTS ${unmarked} OR ${marked} IS_NEWER_THAN ${unmarked})
        file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/unmarked-libraries)
        execute_process(COMMAND ${CMAKE_OBJCOPY} --remove-section .drectve ${marked} ${unmarked}
            RESULT_VARIABLE objcopy_result)
        if(NOT objcopy_result EQUAL 0)
            message(FATAL_ERROR "Couldn't copy ${marked} without its export marks")
        endif()
    endif()
    list(TRANSFORM link_libraries REPLACE "^.*/libxml2\\.a$" "${unmarked}")
    set_target_properties(${target} PROPERTIES INTERFACE_LINK_LIBRARIES "${link_libraries}")
endfunction()
