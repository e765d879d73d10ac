# Every component of the tree has one layout: public headers under Include/<Name>, portable
# sources in common/all/src and the platform half in common/posix/src or common/windows/src behind
# the same headers. The few public declarations that differ between the platforms (a handle's
# type, what only one platform has) are headers of the platform half, in common/posix/include or
# common/windows/include, so that no header under Include branches on the platform.
if(WIN32)
    set(CORVANE_PLATFORM windows)
else()
    set(CORVANE_PLATFORM posix)
endif()

# corvane_component(<name> <STATIC|SHARED|EXECUTABLE|OBJECT>
#     [FOLDER <dir>]               the component's folder (default: the current source folder)
#     [SOURCES <files>]            its sources, instead of those the layout holds
#     [EXCLUDE <files>]            sources of the layout left out (those of a test build)
#     [ENTRY <files>]              the entry point: in the binary, not in its object library
#     [OBJECTS <object libraries>] compiled-in objects of other parts; their sources are left out
#     [INCLUDE <dirs>]             public headers, instead of Include and common/<platform>/include
#     [DEPENDS <libraries>]        what the component links
#     [DEFINITIONS <definitions>]  compile definitions of its own sources
#     [HIDDEN]                     only what is marked for export leaves a shared library
#     [OUTPUT_NAME <name>] [OUTPUT_DIRECTORY <dir>] [EXPORT_MAP <version script>])
# Relative paths are taken from the component's folder.
#
# A static library is built from the sources directly; tests link it. A shared library or an
# executable is built from the object library <name>Objects (everything but ENTRY) and, when it
# has an entry point, <name>Entry, so that tests and fuzz targets link the component's code as
# the binary has it instead of compiling its sources by path. The object libraries publish the
# component's source folders: who links them looks inside. A shared library is named
# <OUTPUT_NAME>.dll on every platform; a fuzzing build makes only its object libraries.
function(corvane_component name kind)
    cmake_parse_arguments(ARG "HIDDEN" "FOLDER;OUTPUT_NAME;OUTPUT_DIRECTORY;EXPORT_MAP"
        "SOURCES;EXCLUDE;ENTRY;OBJECTS;INCLUDE;DEPENDS;DEFINITIONS" ${ARGN})
    if(ARG_FOLDER)
        get_filename_component(dir ${ARG_FOLDER} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    else()
        set(dir ${CMAKE_CURRENT_SOURCE_DIR})
    endif()
    set(platform ${CORVANE_PLATFORM})

    if(ARG_SOURCES)
        _corvane_absolute(sources ${dir} ${ARG_SOURCES})
    else()
        file(GLOB sources CONFIGURE_DEPENDS
            ${dir}/common/all/src/*.cpp ${dir}/common/${platform}/src/*.cpp)
    endif()
    _corvane_absolute(entry ${dir} ${ARG_ENTRY})
    _corvane_absolute(excluded ${dir} ${ARG_EXCLUDE})
    foreach(file ${excluded} ${entry})
        list(REMOVE_ITEM sources ${file})
    endforeach()
    foreach(objects ${ARG_OBJECTS})
        get_target_property(compiled_in ${objects} SOURCES)
        list(REMOVE_ITEM sources ${compiled_in})
    endforeach()

    if(ARG_INCLUDE)
        _corvane_absolute(public_includes ${dir} ${ARG_INCLUDE})
    else()
        set(public_includes)
        foreach(folder ${dir}/Include ${dir}/common/${platform}/include)
            if(IS_DIRECTORY ${folder})
                list(APPEND public_includes ${folder})
            endif()
        endforeach()
    endif()
    # The portable sources' own headers are shared with the platform half, not published.
    set(source_includes)
    foreach(folder ${dir}/common/all/src ${dir}/common/${platform}/src)
        if(IS_DIRECTORY ${folder})
            list(APPEND source_includes ${folder})
        endif()
    endforeach()

    if(kind STREQUAL "STATIC")
        if(sources)
            add_library(${name} STATIC ${sources})
            # The platform half includes the portable headers; who links the library sees only
            # the public ones.
            target_include_directories(${name} PUBLIC ${public_includes})
            if(IS_DIRECTORY ${dir}/common/all/src)
                target_include_directories(${name} PRIVATE ${dir}/common/all/src)
            endif()
            target_link_libraries(${name} PUBLIC ${ARG_DEPENDS})
            target_compile_definitions(${name} PRIVATE ${ARG_DEFINITIONS})
            _corvane_component_settings(${name})
        else()
            add_library(${name} INTERFACE)
            target_include_directories(${name} INTERFACE ${public_includes})
            target_link_libraries(${name} INTERFACE ${ARG_DEPENDS})
        endif()
        return()
    endif()
    if(kind STREQUAL "OBJECT")
        _corvane_component_objects(${name} "${sources}")
        return()
    endif()
    if(NOT kind STREQUAL "SHARED" AND NOT kind STREQUAL "EXECUTABLE")
        message(FATAL_ERROR "corvane_component: unknown kind ${kind} of ${name}")
    endif()

    set(parts)
    if(sources)
        _corvane_component_objects(${name}Objects "${sources}")
        list(APPEND parts ${name}Objects)
    endif()
    if(entry)
        _corvane_component_objects(${name}Entry "${entry}")
        list(APPEND parts ${name}Entry)
    endif()
    if(kind STREQUAL "SHARED" AND CORVANE_FUZZ)
        return()
    endif()
    if(kind STREQUAL "SHARED")
        add_library(${name} SHARED)
        set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".dll")
    else()
        add_executable(${name})
    endif()
    # Other parts' objects come in as objects: their libraries are the binary's to name.
    foreach(objects ${ARG_OBJECTS})
        target_sources(${name} PRIVATE $<TARGET_OBJECTS:${objects}>)
    endforeach()
    target_link_libraries(${name} PRIVATE ${parts} ${ARG_DEPENDS})
    _corvane_component_settings(${name})
    if(ARG_OUTPUT_NAME)
        set_target_properties(${name} PROPERTIES OUTPUT_NAME ${ARG_OUTPUT_NAME})
    endif()
    if(ARG_OUTPUT_DIRECTORY)
        set_target_properties(${name} PROPERTIES
            LIBRARY_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY}
            RUNTIME_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY})
    endif()
    # On Windows only what is marked for export leaves the DLL; elsewhere the map says so.
    if(ARG_EXPORT_MAP AND NOT WIN32)
        get_filename_component(map ${ARG_EXPORT_MAP} ABSOLUTE BASE_DIR ${dir})
        target_link_options(${name} PRIVATE -Wl,--version-script=${map})
        set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${map})
    endif()
endfunction()

# Sets <variable> to <paths>, those that are relative taken from <base>.
function(_corvane_absolute variable base)
    set(result)
    foreach(path ${ARGN})
        get_filename_component(path ${path} ABSOLUTE BASE_DIR ${base})
        list(APPEND result ${path})
    endforeach()
    set(${variable} ${result} PARENT_SCOPE)
endfunction()

# The object library <target> of the component that corvane_component is building.
macro(_corvane_component_objects target sources)
    add_library(${target} OBJECT ${sources})
    target_include_directories(${target} PUBLIC ${public_includes} ${source_includes})
    target_link_libraries(${target} PUBLIC ${ARG_DEPENDS})
    # The compiled-in objects' headers too; their libraries come to the binary, which links them.
    foreach(objects ${ARG_OBJECTS})
        target_include_directories(${target} PUBLIC
            $<TARGET_PROPERTY:${objects},INTERFACE_INCLUDE_DIRECTORIES>)
    endforeach()
    target_compile_definitions(${target} PRIVATE ${ARG_DEFINITIONS})
    _corvane_component_settings(${target})
endmacro()

macro(_corvane_component_settings target)
    if(ARG_HIDDEN)
        set_target_properties(${target} PROPERTIES
            CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
    endif()
endmacro()
