# onefile::pack, the packaging tool that the build itself runs: it must run
# on the build host. On a Windows host that is the tool built here. When
# cross-compiling from any other host it is a native build of the same
# sources, made by a nested CMake build with the host's own compiler (no
# Wine needed to build anything), or an existing native tool named by
# ONEFILE_HOST_PACK.
#
# The global property ONEFILE_PACK_DEPENDS lists what a step that runs the
# tool depends on besides the target itself.

set(ONEFILE_HOST_PACK "" CACHE FILEPATH "A native onefile-pack for the build host; empty: build one")
set(ONEFILE_HOST_CXX_COMPILER "" CACHE FILEPATH "The host's C++ compiler for the native onefile-pack; empty: CMake's choice")

if(CMAKE_HOST_WIN32)
    add_executable(onefile::pack ALIAS onefile_pack)
    set_property(GLOBAL PROPERTY ONEFILE_PACK_DEPENDS onefile::pack)
    set(ONEFILE_HOST_PACK_FILE "")
elseif(ONEFILE_HOST_PACK)
    add_executable(onefile::pack IMPORTED GLOBAL)
    set_target_properties(onefile::pack PROPERTIES IMPORTED_LOCATION "${ONEFILE_HOST_PACK}")
    set_property(GLOBAL PROPERTY ONEFILE_PACK_DEPENDS "${ONEFILE_HOST_PACK}")
    set(ONEFILE_HOST_PACK_FILE "${ONEFILE_HOST_PACK}")
else()
    include(ExternalProject)
    set(_onefile_host_dir ${PROJECT_BINARY_DIR}/host-tools)
    set(ONEFILE_HOST_PACK_FILE ${_onefile_host_dir}/tools/onefile-pack)
    set(_onefile_host_arguments -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE= -DONEFILE_BUILD_TESTS=OFF
                                -DONEFILE_BUILD_EXAMPLES=OFF)
    if(ONEFILE_HOST_CXX_COMPILER)
        list(APPEND _onefile_host_arguments -DCMAKE_CXX_COMPILER=${ONEFILE_HOST_CXX_COMPILER})
    endif()
    # Always asked to build, so that an edited source reaches the tool; the
    # nested build decides what is out of date, and steps that use the tool
    # rerun only when its file has changed. onefile_host_build.cmake gives
    # it the parallel level of the build that runs it.
    set(_onefile_host_build ${CMAKE_COMMAND} -DONEFILE_HOST_DIR=${_onefile_host_dir}
                            -P ${CMAKE_CURRENT_LIST_DIR}/onefile_host_build.cmake)
    ExternalProject_Add(onefile_host_tools
        SOURCE_DIR ${PROJECT_SOURCE_DIR}
        BINARY_DIR ${_onefile_host_dir}
        CMAKE_ARGS ${_onefile_host_arguments}
        BUILD_COMMAND ${_onefile_host_build}
        INSTALL_COMMAND ""
        BUILD_ALWAYS ON
        BUILD_BYPRODUCTS ${ONEFILE_HOST_PACK_FILE})
    # onefile_add_executable checks identity values with the tool when CMake
    # configures; before the first build it builds the tool then, the same
    # way (see _onefile_tool_now in onefile.cmake).
    set_property(GLOBAL PROPERTY ONEFILE_HOST_CONFIGURE
                 ${CMAKE_COMMAND} -G ${CMAKE_GENERATOR} ${_onefile_host_arguments}
                 -S ${PROJECT_SOURCE_DIR} -B ${_onefile_host_dir})
    set_property(GLOBAL PROPERTY ONEFILE_HOST_BUILD ${_onefile_host_build})
    unset(_onefile_host_build)
    add_executable(onefile::pack IMPORTED GLOBAL)
    set_target_properties(onefile::pack PROPERTIES IMPORTED_LOCATION ${ONEFILE_HOST_PACK_FILE})
    set_property(GLOBAL PROPERTY ONEFILE_PACK_DEPENDS onefile_host_tools ${ONEFILE_HOST_PACK_FILE})
    unset(_onefile_host_dir)
    unset(_onefile_host_arguments)
endif()
