# Every Windows program of the project links the runtime support statically:
# no libstdc++, libgcc or libwinpthread DLL may be needed beside it. No link
# time stamp: the same sources give the same stubs and tool, byte for byte.
add_link_options(-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp)
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
