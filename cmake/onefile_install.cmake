# The launcher as parts for onefile_add_executable, under the same names that
# the installed package gives them, and the install rules for that package.
# Included by the top-level CMakeLists.txt after launcher/, tools/ and
# onefile_host_pack.cmake.

add_library(onefile::launcher_core ALIAS onefile_launcher_core)
add_library(onefile::launcher_entry ALIAS onefile_launcher_entry)
set_property(GLOBAL PROPERTY ONEFILE_RESOURCE_DIR ${PROJECT_SOURCE_DIR}/resources)

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
set(ONEFILE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/onefile)
set(ONEFILE_OBJECT_DIR ${CMAKE_INSTALL_LIBDIR}/onefile)
set(ONEFILE_RESOURCE_INSTALL_DIR ${CMAKE_INSTALL_DATADIR}/onefile/resources)

install(TARGETS onefile_pack onefile_launcher onefile_launcher_console
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Beside the Windows tool, the one for the build host, which the package's
# onefile_add_executable runs: bin/onefile-pack.
if(ONEFILE_HOST_PACK_FILE)
    install(PROGRAMS ${ONEFILE_HOST_PACK_FILE} DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME onefile-pack)
endif()
install(TARGETS onefile_launcher_core onefile_neutral onefile_abnormal_end
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES $<TARGET_OBJECTS:onefile_launcher_entry> DESTINATION ${ONEFILE_OBJECT_DIR}/entry)
install(FILES $<TARGET_OBJECTS:onefile_main> DESTINATION ${ONEFILE_OBJECT_DIR}/main)
install(FILES ${PROJECT_SOURCE_DIR}/porting/onefile_main.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/resources/launcher.rc ${PROJECT_SOURCE_DIR}/resources/launcher.manifest
              ${PROJECT_SOURCE_DIR}/resources/launcher.ico
        DESTINATION ${ONEFILE_RESOURCE_INSTALL_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/onefileConfig.cmake.in
    ${PROJECT_BINARY_DIR}/package/onefileConfig.cmake
    INSTALL_DESTINATION ${ONEFILE_PACKAGE_DIR}
    PATH_VARS CMAKE_INSTALL_BINDIR CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR ONEFILE_OBJECT_DIR
              ONEFILE_RESOURCE_INSTALL_DIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/onefileConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/onefileConfig.cmake
              ${PROJECT_BINARY_DIR}/package/onefileConfigVersion.cmake
              ${PROJECT_SOURCE_DIR}/cmake/onefile.cmake
              ${PROJECT_SOURCE_DIR}/cmake/onefile_run_tool.cmake
              ${PROJECT_SOURCE_DIR}/cmake/toolchain-mingw64.cmake
        DESTINATION ${ONEFILE_PACKAGE_DIR})
# The toolchain file names wine-run beside itself as the emulator, which runs
# the consumer's own Windows programs (its tests); building needs no Wine.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/cmake/wine-run DESTINATION ${ONEFILE_PACKAGE_DIR})
