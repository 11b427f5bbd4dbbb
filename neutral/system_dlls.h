#pragma once
// Which DLLs a main library may import without carrying them in its payload:
// those that Windows itself provides on every version the launcher runs on.
#include <string>

// True for
// - an API set name (api-ms-...), which the loader resolves to a DLL of
//   the system rather than to a file of that name. Extension sets
//   (ext-ms-...) are not: Windows implements them on some editions only,
//   and a program is meant to ask before it uses one;
// - a DLL of the table in system_dlls.cpp: what every supported Windows (7
//   SP1 with its updates, 8.1, 10, 11, 64-bit) keeps in System32, the C
//   runtimes msvcrt.dll and ucrtbase.dll among them.
// Names compare without regard to ASCII case, and a name without an
// extension means a .dll, as the loader reads it. Not system DLLs: the
// compilers' runtimes (libstdc++-6.dll, libgcc_s_seh-1.dll,
// libwinpthread-1.dll, vcruntime140.dll, msvcp140.dll), redistributables
// (d3dx9_43.dll, xinput1_3.dll) and drivers' DLLs (nvcuda.dll,
// vulkan-1.dll): the payload must carry them, or the packer be told that
// the users' machines have them.
bool is_system_dll(const std::string& name);

// The name as the table keeps it: ASCII letters in lower case, ".dll"
// added to a name without an extension.
std::string dll_name_key(const std::string& name);
