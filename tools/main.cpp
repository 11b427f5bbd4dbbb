// onefile-pack: makes payload images, attaches them to the launcher stub,
// and lists or extracts what an image or a launcher carries.
#include <windows.h>

#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/tool_files.h"
#include "tools/tool_output.h"

namespace {

const wchar_t usage_text[] =
    L"usage:\n"
    L"  onefile-pack build   --output IMAGE [--keep-empty-dirs] MAIN_LIBRARY [INPUT ...]\n"
    L"  onefile-pack attach  --launcher STUB_EXE --image IMAGE --output EXE\n"
    L"  onefile-pack pack    --launcher STUB_EXE --output EXE [--keep-empty-dirs] MAIN_LIBRARY [INPUT ...]\n"
    L"  onefile-pack list    IMAGE_OR_EXE\n"
    L"  onefile-pack extract IMAGE_OR_EXE --output DIR\n"
    L"  onefile-pack --help\n";

const wchar_t help_text[] =
    L"\n"
    L"Packs an application into one executable: the launcher stub carries the\n"
    L"application's files as a payload and unpacks them when it starts.\n"
    L"\n"
    L"  build    writes a payload image file\n"
    L"  attach   copies the launcher stub to EXE with IMAGE as its payload, as it is\n"
    L"           (an earlier payload of the stub is replaced)\n"
    L"  pack     build and attach in one go, without an image file\n"
    L"  list     names and sizes of the entries of an image or of a launcher's payload\n"
    L"  extract  writes the entries of an image or a launcher's payload below DIR\n"
    L"\n"
    L"MAIN_LIBRARY  a 64-bit DLL exporting  int run_code(int argc, wchar_t** argv);\n"
    L"              it is always the first entry, stored under its file name.\n"
    L"INPUT         a file, stored under its file name at the top level, or a\n"
    L"              directory, stored with everything below it under its own name.\n"
    L"SOURCE=NAME   stores SOURCE under NAME instead ('/' and '\\' both separate\n"
    L"              directories). For a directory, an empty NAME (SOURCE=) puts its\n"
    L"              contents at the top level. The last '=' separates SOURCE from\n"
    L"              NAME, unless the whole argument names an existing file.\n"
    L"--keep-empty-dirs\n"
    L"              stores an empty .keep_dir.txt in each empty directory, so that\n"
    L"              the directory exists after unpacking.\n"
    L"\n"
    L"Entries after the first are sorted by name, so the same inputs give the same\n"
    L"image byte for byte. Names must be valid Windows file names, and no two may\n"
    L"differ only in case. Outputs are written under a temporary name and renamed\n"
    L"when complete: a refused or failed run leaves no output behind.\n"
    L"\n"
    L"examples:\n"
    L"  onefile-pack pack --launcher onefile-launcher.exe --output app.exe app.dll data\n"
    L"  onefile-pack build --output app.payload app.dll README.txt assets=res/assets\n"
    L"  onefile-pack attach --launcher onefile-launcher.exe --image app.payload --output app.exe\n"
    L"  onefile-pack list app.exe\n"
    L"  onefile-pack extract app.exe --output unpacked\n"
    L"\n"
    L"exit status: 0 success, 1 refused input or failure, 2 usage error\n";

enum option_bits : unsigned {
    option_output = 1,
    option_launcher = 2,
    option_image = 4,
    option_keep_empty_dirs = 8,
};

struct command_arguments {
    std::wstring output;
    std::wstring launcher;
    std::wstring image;
    bool keep_empty_dirs = false;
    bool help = false;
    std::vector<std::wstring> positionals;
};

int usage_error(const std::wstring& reason)
{
    report(reason + L" (see onefile-pack --help)");
    return status_usage;
}

struct option_name {
    const wchar_t* name;
    unsigned bit;
    std::wstring command_arguments::*value;  // null for a flag
};

const option_name option_names[] = {
    {L"--output", option_output, &command_arguments::output},
    {L"--launcher", option_launcher, &command_arguments::launcher},
    {L"--image", option_image, &command_arguments::image},
    {L"--keep-empty-dirs", option_keep_empty_dirs, nullptr},
};

// Options may come anywhere among the positional arguments, as "--name
// VALUE" or "--name=VALUE"; after "--" everything is positional, for files
// whose names start with a dash.
int parse_arguments(int argc, wchar_t** argv, int first, const wchar_t* command, unsigned allowed,
                    command_arguments* parsed)
{
    unsigned seen = 0;
    bool options_done = false;
    for (int i = first; i < argc; ++i) {
        std::wstring argument = argv[i];
        if (options_done || argument.size() < 2 || argument[0] != L'-') {
            parsed->positionals.push_back(argument);
            continue;
        }
        if (argument == L"--") {
            options_done = true;
            continue;
        }
        if (argument == L"--help" || argument == L"-h") {
            parsed->help = true;
            continue;
        }
        std::wstring name = argument;
        std::wstring value;
        bool inline_value = false;
        size_t equals = argument.find(L'=');
        if (equals != std::wstring::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            inline_value = true;
        }
        const option_name* option = nullptr;
        for (const option_name& candidate : option_names) {
            if (name == candidate.name && (allowed & candidate.bit)) {
                option = &candidate;
            }
        }
        if (option == nullptr) {
            return usage_error(L"unknown option '" + name + L"' for " + command);
        }
        if (seen & option->bit) {
            return usage_error(L"option '" + name + L"' given twice");
        }
        seen |= option->bit;
        if (option->value == nullptr) {
            if (inline_value) {
                return usage_error(L"option '" + name + L"' takes no value");
            }
            parsed->keep_empty_dirs = true;
            continue;
        }
        if (!inline_value) {
            if (i + 1 >= argc) {
                return usage_error(L"option '" + name + L"' needs a value");
            }
            value = argv[++i];
        }
        if (value.empty()) {
            return usage_error(L"option '" + name + L"' needs a non-empty value");
        }
        parsed->*(option->value) = value;
    }
    if (parsed->help) {
        return status_ok;
    }
    for (const option_name& option : option_names) {
        bool required = option.value != nullptr && (allowed & option.bit);
        if (required && (parsed->*(option.value)).empty()) {
            return usage_error(std::wstring(command) + L" needs " + option.name);
        }
    }
    return status_ok;
}

int run(int argc, wchar_t** argv)
{
    if (argc < 2) {
        print_err(usage_text);
        return status_usage;
    }
    std::wstring command = argv[1];
    if (command == L"--help" || command == L"-h" || command == L"help") {
        print_out(usage_text + std::wstring(help_text));
        return status_ok;
    }
    struct command_shape {
        const wchar_t* name;
        unsigned options;
        size_t min_positionals;
        size_t max_positionals;
    };
    static const command_shape shapes[] = {
        {L"build", option_output | option_keep_empty_dirs, 1, SIZE_MAX},
        {L"attach", option_launcher | option_image | option_output, 0, 0},
        {L"pack", option_launcher | option_output | option_keep_empty_dirs, 1, SIZE_MAX},
        {L"list", 0, 1, 1},
        {L"extract", option_output, 1, 1},
    };
    const command_shape* shape = nullptr;
    for (const command_shape& candidate : shapes) {
        if (command == candidate.name) {
            shape = &candidate;
        }
    }
    if (shape == nullptr) {
        return usage_error(L"unknown command '" + command + L"'");
    }
    command_arguments parsed;
    int status = parse_arguments(argc, argv, 2, shape->name, shape->options, &parsed);
    if (status != status_ok) {
        return status;
    }
    if (parsed.help) {
        print_out(usage_text + std::wstring(help_text));
        return status_ok;
    }
    size_t count = parsed.positionals.size();
    if (count < shape->min_positionals) {
        return usage_error(command + (shape->min_positionals == 1 && shape->max_positionals == 1
                                          ? L" needs an image or executable"
                                          : L" needs a main library"));
    }
    if (count > shape->max_positionals) {
        return usage_error(L"unexpected argument '" + parsed.positionals[shape->max_positionals] + L"' for " +
                           command);
    }
    std::vector<std::wstring> inputs;
    if (count > 1) {
        inputs.assign(parsed.positionals.begin() + 1, parsed.positionals.end());
    }
    if (command == L"build") {
        return build_command(parsed.output, parsed.positionals[0], inputs, parsed.keep_empty_dirs);
    }
    if (command == L"attach") {
        return attach_command(parsed.launcher, parsed.image, parsed.output);
    }
    if (command == L"pack") {
        return pack_command(parsed.launcher, parsed.output, parsed.positionals[0], inputs, parsed.keep_empty_dirs);
    }
    if (command == L"list") {
        return list_command(parsed.positionals[0]);
    }
    return extract_command(parsed.positionals[0], parsed.output);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    // A damaged input must be reported, never answered with a crash dialog
    // that would hang an unattended build.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    install_interrupt_handler();
    return run(argc, argv);
}
