# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (posix thread model)
# and runs the results under Wine through CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ONEFILE_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ONEFILE_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ONEFILE_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ONEFILE_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ONEFILE_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Every Windows program the build runs (tests, the packaging tool) goes
# through this wrapper, which keeps a Wine prefix inside the build tree.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
