# Builds the native packaging tool in its nested build tree (see
# onefile_host_pack.cmake) with the parallel level of the build that runs
# this, rather than the nested build tool's own default:
#
#   cmake -DONEFILE_HOST_DIR=<nested build tree> -P onefile_host_build.cmake
#
# The level is CMAKE_BUILD_PARALLEL_LEVEL when set (which `cmake --build`
# honours itself), else the -j of a GNU make above (from MAKEFLAGS), else
# the -j of a Ninja above, read from its command line: Ninja hands its
# commands no sign of it. Without any, the nested build keeps its default.
cmake_minimum_required(VERSION 3.25)

if(NOT ONEFILE_HOST_DIR)
    message(FATAL_ERROR "usage: cmake -DONEFILE_HOST_DIR=<nested build tree> -P onefile_host_build.cmake")
endif()

# The -j value among the arguments of a command line (a list), or empty.
function(_onefile_jobs_of arguments out)
    set(jobs "")
    set(next_is_jobs FALSE)
    foreach(argument IN LISTS arguments)
        if(next_is_jobs)
            if(argument MATCHES "^[0-9]+$")
                set(jobs "${argument}")
            endif()
            set(next_is_jobs FALSE)
        elseif(argument MATCHES "^-j([0-9]+)$")
            set(jobs "${CMAKE_MATCH_1}")
        elseif(argument STREQUAL "-j")
            set(next_is_jobs TRUE)
        endif()
    endforeach()
    set(${out} "${jobs}" PARENT_SCOPE)
endfunction()

set(level "$ENV{CMAKE_BUILD_PARALLEL_LEVEL}")
if(level STREQUAL "" AND "$ENV{MAKEFLAGS}" MATCHES "(^| )-?j *([0-9]+)")
    set(level "${CMAKE_MATCH_2}")
endif()
if(level STREQUAL "" AND EXISTS "/proc/self/stat")
    # Up the process tree (this program, the shell that runs the command,
    # the build tool), a few steps at most: the first Ninja decides.
    file(READ "/proc/self/stat" stat)
    foreach(step RANGE 4)
        # The parent's id follows the command name in parentheses and the state.
        if(NOT stat MATCHES "\\) [A-Za-z] ([0-9]+)")
            break()
        endif()
        set(parent "${CMAKE_MATCH_1}")
        if(parent LESS_EQUAL 1 OR NOT EXISTS "/proc/${parent}/stat")
            break()
        endif()
        file(STRINGS "/proc/${parent}/comm" name LIMIT_COUNT 1)
        if(name MATCHES "^ninja")
            # Its arguments, separated by zero bytes, which file(STRINGS) splits at.
            file(STRINGS "/proc/${parent}/cmdline" arguments)
            _onefile_jobs_of("${arguments}" level)
            break()
        endif()
        file(READ "/proc/${parent}/stat" stat)
    endforeach()
endif()

set(parallel "")
if(NOT level STREQUAL "")
    set(parallel --parallel ${level})
    message(STATUS "Building the native onefile-pack with ${level} parallel jobs")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${ONEFILE_HOST_DIR}" --target onefile_pack ${parallel}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "the native onefile-pack did not build (${status})")
endif()
