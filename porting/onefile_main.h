/* onefile::main: an existing program with main() (or wmain()) as a onefile
 * main library. Link the library (CMake: onefile::main) into a SHARED
 * library built from the program's sources; it exports run_code, which
 *
 *  - calls the program's main with the arguments in UTF-8 (wmain gets them
 *    in UTF-16, as given). argv[0] is the executable's file name in the
 *    payload directory, so that a program which finds its files beside
 *    argv[0] finds them; the executable itself is GetModuleFileNameW(NULL).
 *    A program that hands its arguments to functions taking the ANSI code
 *    page (fopen, CreateFileA) should ask for UTF-8 as the process's code
 *    page in its manifest (<activeCodePage>UTF-8</activeCodePage>, Windows
 *    10 1903 and later), or define wmain and use the wide functions;
 *  - passes main's result on as the executable's exit status, after
 *    flushing the C streams as a return from main does; exit() inside the
 *    program ends the executable with its status too;
 *  - sets TALMIR_ONEFILE_PAYLOAD_DIRECTORY to the payload directory before
 *    main starts, for scripts and programs that the program runs.
 *
 * The functions below may be called at any time after the library has been
 * loaded, from any thread.
 */
#ifndef ONEFILE_MAIN_H
#define ONEFILE_MAIN_H

#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The directory the payload was unpacked to: where the main library lies
 * and, below it, every other file of the payload. Without a trailing
 * separator; an empty string if the system cannot say (it always can for a
 * library that the launcher loaded). The text stays valid until the
 * process ends. */
const char* onefile_payload_directory(void);
const wchar_t* onefile_payload_directory_w(void);

#ifdef __cplusplus
}
#endif

#endif
