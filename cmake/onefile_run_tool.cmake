# Runs the packaging tool for onefile_add_executable with its output going to
# files beside the image (kept for a look after a failed build) instead of
# the build tool's pipe, then shows that output.
#
# The files also keep the pipe free of anything the command leaves running:
# a tool run through a wrapper that starts background services (Wine's, for
# one) would otherwise keep the pipe open, and Ninja waits for its end.
#
#   cmake -DONEFILE_LOG=<path prefix> [-DONEFILE_REMOVE_ON_FAILURE=<file>]
#         -P onefile_run_tool.cmake -- <command> [args...]
#
# ONEFILE_REMOVE_ON_FAILURE, when not empty, names a file to delete if the
# command fails: an output that the command was to finish in place.
#
# With -DONEFILE_SIGN=<executable> it runs a SIGN_COMMAND instead: <EXE> in
# the command stands for the executable and <SIGNED> for a file beside it
# that, once the command has written it, replaces the executable (for
# signing tools that write a copy). When the command fails, the executable
# is removed: an unsigned file must not be taken for the signed one, and
# the next build links and signs it again.
cmake_minimum_required(VERSION 3.25)

set(command "")
set(collect FALSE)
foreach(index RANGE 1 ${CMAKE_ARGC})
    if(index EQUAL CMAKE_ARGC)
        break()
    endif()
    if(collect)
        # Each argument stays one, whatever ';' it holds.
        string(REPLACE ";" "\\;" argument "${CMAKE_ARGV${index}}")
        list(APPEND command "${argument}")
    elseif("${CMAKE_ARGV${index}}" STREQUAL "--")
        set(collect TRUE)
    endif()
endforeach()
if(NOT command OR NOT ONEFILE_LOG)
    message(FATAL_ERROR "usage: cmake -DONEFILE_LOG=<path prefix> -P onefile_run_tool.cmake -- <command...>")
endif()
set(signed "")
if(ONEFILE_SIGN)
    set(signed "${ONEFILE_SIGN}.signing")
    file(REMOVE "${signed}")
    list(TRANSFORM command REPLACE "<EXE>" "${ONEFILE_SIGN}")
    string(FIND "${command}" "<SIGNED>" writes_copy)
    list(TRANSFORM command REPLACE "<SIGNED>" "${signed}")
endif()

execute_process(COMMAND ${command}
                OUTPUT_FILE "${ONEFILE_LOG}.out"
                ERROR_FILE "${ONEFILE_LOG}.err"
                RESULT_VARIABLE status)
execute_process(COMMAND "${CMAKE_COMMAND}" -E cat "${ONEFILE_LOG}.out")
execute_process(COMMAND "${CMAKE_COMMAND}" -E cat "${ONEFILE_LOG}.err" OUTPUT_VARIABLE errors)
if(errors)
    message(NOTICE "${errors}")
endif()
if(ONEFILE_SIGN)
    if(status EQUAL 0 AND writes_copy GREATER_EQUAL 0)
        if(EXISTS "${signed}")
            file(RENAME "${signed}" "${ONEFILE_SIGN}")
        else()
            set(status "no file written for <SIGNED>")
        endif()
    endif()
    if(NOT status EQUAL 0)
        file(REMOVE "${signed}" "${ONEFILE_SIGN}")
        message(FATAL_ERROR "SIGN_COMMAND failed (${status}); ${ONEFILE_SIGN} was removed")
    endif()
elseif(NOT status EQUAL 0)
    if(ONEFILE_REMOVE_ON_FAILURE)
        file(REMOVE "${ONEFILE_REMOVE_ON_FAILURE}")
    endif()
    string(REGEX REPLACE "\n.*" "" reason "${errors}")
    message(FATAL_ERROR "onefile-pack failed (${status}): ${reason}")
endif()
