/* An existing command-line program, ported: a plain C main() that needs
 * nothing of Windows but onefile_payload_directory(), which says where the
 * file it reads was unpacked. Linked with onefile::main (CMakeLists.txt),
 * it is the main library of ported.exe.
 *
 *   ported [--exit N] [--run COMMAND] [ARGUMENT ...]
 *
 * It prints its arguments (UTF-8, with their lengths in bytes), the payload
 * directory as the function and the environment give it, and the message
 * in data/motd.txt; --run runs COMMAND through the shell, --exit ends it
 * with exit(N) instead of a return from main.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "onefile_main.h"

/* The first line of a file of the payload. fopen takes a name in the ANSI
   code page, and the payload directory may hold any character (it lies in
   the user's temporary directory), so the wide name goes to _wfopen. */
static int read_line(const wchar_t* relative, char* line, size_t capacity)
{
    wchar_t path[4096];
    swprintf(path, sizeof path / sizeof path[0], L"%ls\\%ls", onefile_payload_directory_w(), relative);
    FILE* file = _wfopen(path, L"rb");
    if (file == NULL) {
        return 0;
    }
    int ok = fgets(line, (int)capacity, file) != NULL;
    fclose(file);
    line[strcspn(line, "\r\n")] = 0;
    return ok;
}

int main(int argc, char** argv)
{
    int status = -1;
    const char* command = NULL;
    printf("%d arguments\n", argc);
    for (int i = 0; i < argc; ++i) {
        printf("argv[%d] = %s (%u bytes)\n", i, argv[i], (unsigned)strlen(argv[i]));
        if (strcmp(argv[i], "--exit") == 0 && i + 1 < argc) {
            status = atoi(argv[i + 1]);
        } else if (strcmp(argv[i], "--run") == 0 && i + 1 < argc) {
            command = argv[i + 1];
        }
    }
    const char* variable = getenv("TALMIR_ONEFILE_PAYLOAD_DIRECTORY");
    printf("payload directory: %s\n", onefile_payload_directory());
    printf("TALMIR_ONEFILE_PAYLOAD_DIRECTORY = %s\n", variable != NULL ? variable : "(not set)");

    char motd[256];
    if (!read_line(L"data\\motd.txt", motd, sizeof motd)) {
        fprintf(stderr, "ported: cannot read data/motd.txt in the payload\n");
        return 1;
    }
    printf("data/motd.txt: %s\n", motd);
    if (command != NULL) {
        fflush(stdout);
        printf("%s returned %d\n", command, system(command));
    }
    if (status >= 0) {
        /* The output is still in the stream's buffer when it goes to a pipe
           or a file: exit() must write it out and end with the status. */
        printf("exit(%d)\n", status);
        exit(status);
    }
    return 0;
}
