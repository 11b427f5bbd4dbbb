# Runs the packaging tool for onefile_add_executable with its output going to
# files instead of the build tool's pipe, then shows that output.
#
# Under Wine, the first program started in a prefix also starts Wine's
# background services (services.exe, winedevice.exe, ...), which inherit its
# standard handles and outlive it while a persistent wineserver runs. Ninja
# waits for the end of a command's output pipe, so a packing step that
# happened to be the first Wine program of a build would never finish.
#
#   cmake -DONEFILE_LOG=<path prefix> -P onefile_run_tool.cmake -- <command> [args...]
cmake_minimum_required(VERSION 3.25)

set(command "")
set(collect FALSE)
foreach(index RANGE 1 ${CMAKE_ARGC})
    if(index EQUAL CMAKE_ARGC)
        break()
    endif()
    if(collect)
        list(APPEND command "${CMAKE_ARGV${index}}")
    elseif("${CMAKE_ARGV${index}}" STREQUAL "--")
        set(collect TRUE)
    endif()
endforeach()
if(NOT command OR NOT ONEFILE_LOG)
    message(FATAL_ERROR "usage: cmake -DONEFILE_LOG=<path prefix> -P onefile_run_tool.cmake -- <command...>")
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
if(NOT status EQUAL 0)
    message(FATAL_ERROR "onefile-pack failed (${status})")
endif()
