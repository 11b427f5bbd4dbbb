# onefile_add_executable: packs a main library and the files it needs into
# one launcher executable at build time.
#
#   onefile_add_executable(<name>
#       MAIN_LIBRARY <target-or-file>
#       [FILES <target-or-file>[=NAME] ...]
#       [DIRECTORIES <directory>[=NAME] ...]
#       [CONSOLE] [KEEP_EMPTY_DIRS] [OUTPUT_NAME <name>]
#       [ICON <file.ico>] [COMPANY <text>] [PRODUCT <text>] [VERSION <n.n.n.n>]
#       [DESCRIPTION <text>] [COPYRIGHT <text>]
#       [EXECUTION_LEVEL asInvoker|highestAvailable|requireAdministrator]
#       [MANIFEST <file>] [TARGET_DIRECTORY <template>] [CACHE]
#       [ALLOW_DLLS <dll> ...] [NO_PAGE_ALIGNMENT]
#       [SIGN_COMMAND <command> [<argument> ...]])
#
# The payload image is written by `onefile-pack build` and compiled into the
# executable as resource 27 of type RT_RCDATA, next to the launcher's
# manifest, version information and icon, so the linker produces the final
# file. The packaging tool is a program of the build host, so building needs
# no Wine.
#
# The identity options (ICON to TARGET_DIRECTORY, and CACHE) are the tool's
# own (--icon, ... --target-directory, --cache) and are applied by it: the
# executable is then linked without the payload, and `onefile-pack attach`
# gives it the payload and the identity (with CACHE, the payload's digest)
# after linking, in place. So there is one implementation of them, the
# tool's, and the same options give the same resources whether an
# executable is made here or with the tool.
#
# The tool refuses a main library that imports DLLs which are neither system
# DLLs nor in the payload beside it; ALLOW_DLLS names those the users'
# machines have anyway. A MAIN_LIBRARY target of the calling project is
# linked with page-aligned sections, which Wine maps rather than reads at
# every start, unless NO_PAGE_ALIGNMENT is given. The executable carries no
# link time stamp, so the same inputs give the same bytes. SIGN_COMMAND runs
# after every link: <EXE> in it stands for the executable, and <SIGNED>, if
# used, for a file the command writes the signed copy to, which then
# replaces the executable. A failed signing removes the executable.
#
# This file is included by the onefile project itself (add_subdirectory) and
# by its package configuration (find_package(onefile CONFIG)). Both define
# the imported or alias targets onefile::pack (the tool for the build host),
# onefile::launcher_core and onefile::launcher_entry, and the global
# properties ONEFILE_RESOURCE_DIR (the directory holding launcher.rc) and
# ONEFILE_PACK_DEPENDS (what a packing step depends on to have the tool).

include_guard(GLOBAL)

get_property(_onefile_languages GLOBAL PROPERTY ENABLED_LANGUAGES)
if(NOT "RC" IN_LIST _onefile_languages)
    enable_language(RC)
endif()
unset(_onefile_languages)

# Splits "SOURCE=NAME" at the last '=' the way the tool does, unless the
# whole item names an existing path. `source` comes back absolute (relative
# to the calling directory's sources), `suffix` is "=NAME" or empty.
function(_onefile_split_item item source_out suffix_out)
    set(source "${item}")
    set(suffix "")
    get_filename_component(whole "${item}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    if(NOT EXISTS "${whole}")
        string(FIND "${item}" "=" equals REVERSE)
        if(equals GREATER_EQUAL 0)
            string(SUBSTRING "${item}" 0 ${equals} source)
            string(SUBSTRING "${item}" ${equals} -1 suffix)
        endif()
    endif()
    if(source STREQUAL "")
        message(FATAL_ERROR "onefile: '${item}' has no path before '=' (write SOURCE=NAME)")
    endif()
    get_filename_component(source "${source}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    set(${source_out} "${source}" PARENT_SCOPE)
    set(${suffix_out} "${suffix}" PARENT_SCOPE)
endfunction()

# A missing input is named now rather than as a Ninja rule error later;
# files that a custom command generates are not there yet and are fine.
function(_onefile_check_file name path)
    get_source_file_property(generated "${path}" GENERATED)
    if(NOT EXISTS "${path}" AND NOT generated)
        message(FATAL_ERROR "onefile_add_executable(${name}): '${path}' does not exist")
    endif()
    if(IS_DIRECTORY "${path}")
        message(FATAL_ERROR "onefile_add_executable(${name}): '${path}' is a directory; list it under DIRECTORIES")
    endif()
endfunction()

# The command that runs the packaging tool, a program of the build host
# (onefile_host_pack.cmake), through onefile_run_tool.cmake, which keeps its
# output in files beside the image and shows it after the step. An optional
# third argument names a file to delete when the tool fails.
function(_onefile_tool_command out log)
    set(${out} "${CMAKE_COMMAND}" "-DONEFILE_LOG=${log}" "-DONEFILE_REMOVE_ON_FAILURE=${ARGN}"
        -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/onefile_run_tool.cmake" -- "$<TARGET_FILE:onefile::pack>"
        PARENT_SCOPE)
endfunction()

# The tool's options for the identity keywords given, and the files they
# name (which the link then depends on). Values are checked by the tool.
function(_onefile_identity_arguments name options_out files_out)
    set(options "")
    set(files "")
    if(arg_CACHE)
        set(options --cache)
    endif()
    foreach(keyword IN LISTS _onefile_identity_keywords)
        set(value "${arg_${keyword}}")
        if(value STREQUAL "")
            continue()
        endif()
        if(keyword IN_LIST _onefile_identity_files)
            get_filename_component(value "${value}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
            _onefile_check_file("${name}" "${value}")
            list(APPEND files "${value}")
        endif()
        string(TOLOWER "${keyword}" option)
        string(REPLACE "_" "-" option "${option}")
        # A ';' in a value ("(c) Acme; all rights") is text, not a list
        # separator: kept escaped, it reaches the tool in one argument.
        string(REPLACE ";" "\\;" value "${value}")
        list(APPEND options "--${option}=${value}")
    endforeach()
    set(${options_out} "${options}" PARENT_SCOPE)
    set(${files_out} "${files}" PARENT_SCOPE)
endfunction()

# The packaging tool's path when it can run now, as CMake configures, or
# empty: the installed tool and ONEFILE_HOST_PACK are there; the nested
# build of add_subdirectory is made now when it has not been yet; the tool
# that a Windows host builds as a target of this build is not there yet.
function(_onefile_tool_now out)
    set(${out} "" PARENT_SCOPE)
    get_target_property(imported onefile::pack IMPORTED)
    if(NOT imported)
        return()
    endif()
    get_target_property(tool onefile::pack IMPORTED_LOCATION)
    get_property(configure GLOBAL PROPERTY ONEFILE_HOST_CONFIGURE)
    get_property(build GLOBAL PROPERTY ONEFILE_HOST_BUILD)
    get_property(tried GLOBAL PROPERTY _ONEFILE_HOST_TRIED)
    if(NOT EXISTS "${tool}" AND configure AND NOT tried)
        set_property(GLOBAL PROPERTY _ONEFILE_HOST_TRIED TRUE)
        message(STATUS "Building the native onefile-pack, which checks the identity options")
        execute_process(COMMAND ${configure} OUTPUT_VARIABLE log ERROR_VARIABLE log RESULT_VARIABLE status)
        if(status EQUAL 0)
            execute_process(COMMAND ${build} OUTPUT_VARIABLE log ERROR_VARIABLE log RESULT_VARIABLE status)
        endif()
        if(NOT status EQUAL 0)
            message(WARNING "the native onefile-pack did not build now; the build checks the identity options\n${log}")
        endif()
    endif()
    if(EXISTS "${tool}")
        set(${out} "${tool}" PARENT_SCOPE)
    endif()
endfunction()

# Each identity value checked by the tool as CMake configures, so that a bad
# one stops here naming the keyword, the value and the reason, rather than
# after a long build. A file that the build generates is checked then. With
# CACHE, a template is checked by a cache's rules.
function(_onefile_check_identity name)
    set(given "")
    foreach(keyword IN LISTS _onefile_identity_keywords)
        if(NOT "${arg_${keyword}}" STREQUAL "")
            list(APPEND given ${keyword})
        endif()
    endforeach()
    if(EXECUTION_LEVEL IN_LIST given AND MANIFEST IN_LIST given)
        message(FATAL_ERROR "onefile_add_executable(${name}): EXECUTION_LEVEL and MANIFEST exclude each other; "
                            "give the level in the manifest")
    endif()
    if(NOT given)
        return()
    endif()
    _onefile_tool_now(tool)
    if(NOT tool)
        return()
    endif()
    foreach(keyword IN LISTS given)
        set(value "${arg_${keyword}}")
        if(keyword IN_LIST _onefile_identity_files)
            get_filename_component(value "${value}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
            if(NOT EXISTS "${value}")
                continue()
            endif()
        endif()
        string(TOLOWER "${keyword}" option)
        string(REPLACE "_" "-" option "${option}")
        set(cache "")
        if(arg_CACHE)
            set(cache --cache)
        endif()
        execute_process(COMMAND "${tool}" check ${cache} "--${option}=${value}"
                        WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
                        OUTPUT_QUIET ERROR_VARIABLE reason RESULT_VARIABLE status)
        if(NOT status EQUAL 0)
            # The executable of the last good build would look current.
            set(output_name "${name}")
            if(arg_OUTPUT_NAME)
                set(output_name "${arg_OUTPUT_NAME}")
            endif()
            set(output_dir "${CMAKE_CURRENT_BINARY_DIR}")
            if(CMAKE_RUNTIME_OUTPUT_DIRECTORY)
                set(output_dir "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
            endif()
            file(REMOVE "${output_dir}/${output_name}${CMAKE_EXECUTABLE_SUFFIX}")
            string(REGEX REPLACE "^onefile-pack: " "" reason "${reason}")
            string(STRIP "${reason}" reason)
            message(FATAL_ERROR "onefile_add_executable(${name}): ${keyword} \"${arg_${keyword}}\" is refused: ${reason}")
        endif()
    endforeach()
endfunction()

# Links a shared library target of the calling project with page-aligned
# sections: Wine maps such a library, but reads one with the usual 512-byte
# file alignment whole at every start (70 MB: ~270 ms against ~50 ms).
# Windows maps either. Imported targets are files already linked.
function(_onefile_page_align library)
    get_target_property(aliased ${library} ALIASED_TARGET)
    if(aliased)
        set(library ${aliased})
    endif()
    get_target_property(imported ${library} IMPORTED)
    get_target_property(type ${library} TYPE)
    get_target_property(done ${library} ONEFILE_PAGE_ALIGNED)
    if(imported OR done OR NOT type MATCHES "^(SHARED|MODULE)_LIBRARY$")
        return()
    endif()
    set_property(TARGET ${library} APPEND PROPERTY LINK_OPTIONS -Wl,--file-alignment,4096
                                                                 -Wl,--section-alignment,4096)
    set_property(TARGET ${library} PROPERTY ONEFILE_PAGE_ALIGNED TRUE)
endfunction()

function(onefile_add_executable name)
    # The executable's identity: keyword (the tool's option in lower case,
    # '-' for '_'), and whether the value is a file (relative to the calling
    # CMakeLists.txt). Set here rather than beside the include: a variable
    # of this file would not reach a project that uses it through
    # add_subdirectory, whose directory scope is another.
    set(_onefile_identity_keywords ICON COMPANY PRODUCT VERSION DESCRIPTION COPYRIGHT EXECUTION_LEVEL MANIFEST
        TARGET_DIRECTORY)
    set(_onefile_identity_files ICON MANIFEST)
    # The identity's, the build-time checks' and distribution's arguments,
    # each apart.
    set(distribution_options NO_PAGE_ALIGNMENT)
    set(distribution_lists ALLOW_DLLS SIGN_COMMAND)
    cmake_parse_arguments(PARSE_ARGV 1 arg "CONSOLE;KEEP_EMPTY_DIRS;CACHE;${distribution_options}"
                          "MAIN_LIBRARY;OUTPUT_NAME;${_onefile_identity_keywords}"
                          "FILES;DIRECTORIES;${distribution_lists}")
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "onefile_add_executable(${name}): unexpected arguments: ${arg_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT arg_MAIN_LIBRARY)
        message(FATAL_ERROR "onefile_add_executable(${name}): MAIN_LIBRARY is required")
    endif()
    # The launcher's objects are C++ that needs nothing of the C++ runtime
    # library, so a project that enabled only C links them with its C
    # compiler's driver.
    if(CMAKE_CXX_COMPILER_LOADED)
        set(linker_language CXX)
    elseif(CMAKE_C_COMPILER_LOADED)
        set(linker_language C)
    else()
        message(FATAL_ERROR "onefile_add_executable(${name}): the launcher is linked by the C or C++ compiler, and "
                            "neither is enabled here; declare the project with LANGUAGES C or CXX")
    endif()
    foreach(needed onefile::pack onefile::launcher_core onefile::launcher_entry)
        if(NOT TARGET ${needed})
            message(FATAL_ERROR "onefile_add_executable(${name}): target ${needed} is missing; "
                                "use find_package(onefile CONFIG) or add_subdirectory on the onefile sources")
        endif()
    endforeach()
    get_property(resource_dir GLOBAL PROPERTY ONEFILE_RESOURCE_DIR)
    if(NOT resource_dir OR NOT EXISTS "${resource_dir}/launcher.rc")
        message(FATAL_ERROR "onefile_add_executable(${name}): launcher.rc not found (ONEFILE_RESOURCE_DIR)")
    endif()

    set(work_dir "${CMAKE_CURRENT_BINARY_DIR}/onefile/${name}")
    set(image "${work_dir}/payload.img")
    get_property(pack_depends GLOBAL PROPERTY ONEFILE_PACK_DEPENDS)
    set(depends ${pack_depends})
    set(tool_inputs "")

    # The main library: always the payload's first entry.
    if(TARGET ${arg_MAIN_LIBRARY})
        list(APPEND depends ${arg_MAIN_LIBRARY})
        set(main_path "$<TARGET_FILE:${arg_MAIN_LIBRARY}>")
        if(NOT arg_NO_PAGE_ALIGNMENT)
            _onefile_page_align("${arg_MAIN_LIBRARY}")
        endif()
    else()
        get_filename_component(main_file "${arg_MAIN_LIBRARY}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
        _onefile_check_file("${name}" "${main_file}")
        list(APPEND depends "${main_file}")
        set(main_path "${main_file}")
    endif()

    foreach(item IN LISTS arg_FILES)
        if(TARGET ${item})
            list(APPEND depends ${item})
            list(APPEND tool_inputs "$<TARGET_FILE:${item}>")
            continue()
        endif()
        _onefile_split_item("${item}" source suffix)
        _onefile_check_file("${name}" "${source}")
        list(APPEND depends "${source}")
        list(APPEND tool_inputs "${source}${suffix}")
    endforeach()

    # A directory's files are globbed so that editing any of them repacks.
    # CONFIGURE_DEPENDS re-globs at every build; the directories themselves
    # are dependencies too, since their times change when an entry is added
    # or removed, and a removed file alone would not make Ninja repack.
    foreach(item IN LISTS arg_DIRECTORIES)
        _onefile_split_item("${item}" source suffix)
        if(NOT IS_DIRECTORY "${source}")
            message(FATAL_ERROR "onefile_add_executable(${name}): '${source}' is not a directory")
        endif()
        file(GLOB_RECURSE below CONFIGURE_DEPENDS LIST_DIRECTORIES true "${source}/*")
        list(APPEND depends "${source}" ${below})
        list(APPEND tool_inputs "${source}${suffix}")
    endforeach()

    _onefile_identity_arguments("${name}" identity identity_files)
    _onefile_check_identity("${name}")

    set(flags "")
    if(arg_KEEP_EMPTY_DIRS)
        set(flags --keep-empty-dirs)
    endif()
    foreach(dll IN LISTS arg_ALLOW_DLLS)
        list(APPEND flags --allow-dll "${dll}")
    endforeach()
    # A refused payload removes the executable too: the one from the last
    # good build would look current.
    _onefile_tool_command(tool "${work_dir}/pack" "$<TARGET_FILE:${name}>")
    file(MAKE_DIRECTORY "${work_dir}")
    add_custom_command(
        OUTPUT "${image}"
        COMMAND ${tool} build --output "${image}" ${flags} -- "${main_path}" ${tool_inputs}
        DEPENDS ${depends}
        WORKING_DIRECTORY "${work_dir}"
        COMMENT "Packing the payload of ${name}"
        VERBATIM)

    # The resource compiler takes the image path inside a string literal,
    # where a backslash would start an escape and a quote would end it.
    if(image MATCHES "[\"]")
        message(FATAL_ERROR "onefile_add_executable(${name}): the build path may not contain '\"'")
    endif()
    set(rc_file "${work_dir}/${name}.rc")
    set(rc_depends "${resource_dir}/launcher.rc;${resource_dir}/launcher.manifest;${resource_dir}/launcher.ico")
    if(NOT identity STREQUAL "")
        # The tool stores the payload after linking (below).
        set(payload_line "")
    else()
        set(payload_line "27 RCDATA \"${image}\"")
        list(APPEND rc_depends "${image}")
    endif()
    file(CONFIGURE OUTPUT "${rc_file}" @ONLY CONTENT
"// Generated by onefile_add_executable(${name}): the launcher's resources
// and the payload, which the launcher looks up as RT_RCDATA 27.
#include \"launcher.rc\"

${payload_line}
")
    set_source_files_properties("${rc_file}" PROPERTIES OBJECT_DEPENDS "${rc_depends}")

    if(arg_CONSOLE)
        add_executable(${name} "${rc_file}" "${image}")
        target_link_libraries(${name} PRIVATE onefile::launcher_entry onefile::launcher_core)
        set(subsystem -mconsole)
    else()
        add_executable(${name} WIN32 "${rc_file}" "${image}")
        target_link_libraries(${name} PRIVATE onefile::launcher_entry onefile::launcher_core)
        set(subsystem "")
    endif()
    # The resource compiler finds launcher.rc, its manifest and its icon
    # through the include path.
    target_include_directories(${name} PRIVATE "${resource_dir}")
    # Page-aligned sections let Wine map the image instead of reading a
    # payload of hundreds of megabytes at every start; -static keeps the
    # launcher free of runtime DLLs, which it could not find before it has
    # unpacked anything; stripped like the stubs, as the loader needs no
    # symbols; no time stamp, which would make every link differ from the
    # last (the headers' checksum, which GNU ld computes, follows the bytes).
    target_link_options(${name} PRIVATE -municode ${subsystem} -s -static -static-libgcc -static-libstdc++
                        -Wl,--file-alignment,4096 -Wl,--section-alignment,4096 -Wl,--no-insert-timestamp)
    set_target_properties(${name} PROPERTIES LINKER_LANGUAGE ${linker_language})
    if(arg_OUTPUT_NAME)
        set_target_properties(${name} PROPERTIES OUTPUT_NAME "${arg_OUTPUT_NAME}")
    endif()

    # The identity and the payload, stored by the tool in the linked
    # executable; a refusal deletes it, so that no executable without its
    # payload is left behind. Relinked when the image or a named file
    # changes. A step that signs the result must come after this one.
    if(NOT identity STREQUAL "")
        _onefile_tool_command(identity_tool "${work_dir}/identity" "$<TARGET_FILE:${name}>")
        add_custom_command(TARGET ${name} POST_BUILD
            COMMAND ${identity_tool} attach --launcher "$<TARGET_FILE:${name}>" --image "${image}"
                    --output "$<TARGET_FILE:${name}>" ${identity}
            COMMENT "Storing the payload and identity of ${name}"
            VERBATIM)
        set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS "${image}" ${identity_files})
    endif()

    # Signing, after every link of the executable.
    if(arg_SIGN_COMMAND)
        add_custom_command(TARGET ${name} POST_BUILD
            COMMAND "${CMAKE_COMMAND}" "-DONEFILE_LOG=${work_dir}/sign" "-DONEFILE_SIGN=$<TARGET_FILE:${name}>"
                    -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/onefile_run_tool.cmake" -- ${arg_SIGN_COMMAND}
            COMMENT "Signing ${name}"
            VERBATIM)
    endif()
endfunction()
