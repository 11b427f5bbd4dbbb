// onefile-pack: makes payload images, attaches them to the launcher stub,
// and lists or extracts what an image or a launcher carries. The same on
// every host; the host's entry point (host_process_*.cpp) calls tool_main.
#include <stdint.h>

#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/host_process.h"
#include "tools/identity.h"
#include "tools/tool_output.h"

namespace {

const char usage_text[] =
    "usage:\n"
    "  onefile-pack build   --output IMAGE [--keep-empty-dirs] [--allow-dll NAME ...] MAIN_LIBRARY [INPUT ...]\n"
    "  onefile-pack attach  --launcher STUB_EXE --image IMAGE --output EXE [--cache] [IDENTITY ...]\n"
    "  onefile-pack pack    --launcher STUB_EXE --output EXE [--keep-empty-dirs] [--allow-dll NAME ...]\n"
    "                       [--cache] [IDENTITY ...] MAIN_LIBRARY [INPUT ...]\n"
    "  onefile-pack list    IMAGE_OR_EXE\n"
    "  onefile-pack extract IMAGE_OR_EXE --output DIR\n"
    "  onefile-pack check   [--cache] [IDENTITY ...]\n"
    "  onefile-pack --help\n";

const char help_text[] =
    "\n"
    "Packs an application into one executable: the launcher stub carries the\n"
    "application's files as a payload and unpacks them when it starts.\n"
    "\n"
    "  build    writes a payload image file\n"
    "  attach   copies the launcher stub to EXE with IMAGE as its payload, as it is\n"
    "           (an earlier payload of the stub is replaced)\n"
    "  pack     build and attach in one go, without an image file\n"
    "  list     names and sizes of the entries of an image or of a launcher's payload\n"
    "  extract  writes the entries of an image or a launcher's payload below DIR\n"
    "  check    checks IDENTITY options (and reads the files they name) as attach\n"
    "           and pack would, without writing anything; with --cache, the\n"
    "           template by a cache's rules\n"
    "\n"
    "MAIN_LIBRARY  a 64-bit DLL exporting  int run_code(int argc, wchar_t** argv);\n"
    "              it is always the first entry, stored under its file name.\n"
    "INPUT         a file, stored under its file name at the top level, or a\n"
    "              directory, stored with everything below it under its own name.\n"
    "SOURCE=NAME   stores SOURCE under NAME instead ('/' and '\\' both separate\n"
    "              directories). For a directory, an empty NAME (SOURCE=) puts its\n"
    "              contents at the top level. The last '=' separates SOURCE from\n"
    "              NAME, unless the whole argument names an existing file.\n"
    "--keep-empty-dirs\n"
    "              stores an empty .keep_dir.txt in each empty directory, so that\n"
    "              the directory exists after unpacking.\n"
    "\n"
    "Checks before anything is written:\n"
    "  The DLLs that MAIN_LIBRARY imports must be system DLLs (those every\n"
    "  64-bit Windows since 7 has, and API sets) or entries beside it in the\n"
    "  payload, where the loader looks; those entries' own imports are checked\n"
    "  the same way. Anything else (libstdc++-6.dll, libwinpthread-1.dll, ...)\n"
    "  is refused, naming them all.\n"
    "--allow-dll NAME\n"
    "              lets the main library need NAME although the payload lacks it,\n"
    "              for a DLL that the users' machines have (a driver's, say).\n"
    "              May be given more than once.\n"
    "  STUB_EXE must be one of the launcher stubs, or an executable made from\n"
    "  one. A signed one loses its signature, which would not match EXE: sign\n"
    "  EXE afresh. Every executable written has its PE checksum recomputed.\n"
    "\n"
    "IDENTITY options of attach and pack make the executable the application's\n"
    "own; whatever is not given stays the launcher stub's:\n"
    "  --icon FILE.ico        the icon, with every size the file holds\n"
    "  --company TEXT, --product TEXT, --description TEXT, --copyright TEXT\n"
    "  --version N[.N[.N[.N]]]\n"
    "                         version information (numbers 0 to 65535); the\n"
    "                         original file name becomes EXE's. {COMPANY},\n"
    "                         {PRODUCT} and {VERSION} in a template name these.\n"
    "  --execution-level asInvoker|highestAvailable|requireAdministrator\n"
    "                         the level the launcher's manifest asks for\n"
    "  --manifest FILE        a whole manifest of one's own instead of the\n"
    "                         launcher's (a well-formed assembly manifest)\n"
    "  --target-directory TEMPLATE\n"
    "                         where a start unpacks, default\n"
    "                         {TEMP}\\onefile_{PID}_{TIME}; it must start with\n"
    "                         {TEMP}, {HOME}, {CACHE_DIR}, a drive or a share and\n"
    "                         hold {PID} and {TIME} (with --cache: neither); also\n"
    "                         {COMPANY}, {PRODUCT}, {VERSION}; '/' separates\n"
    "                         directories too\n"
    "\n"
    "--cache  keeps the unpacked files between runs, in a directory of the user's\n"
    "         own named after the application and the payload's SHA-256 (stored\n"
    "         in EXE), by default {CACHE_DIR}\\onefile\\{PRODUCT}_<first 16 hex\n"
    "         digits of the digest>. --target-directory then names the cache's\n"
    "         directory, to which the digest is added, and must not hold {PID}\n"
    "         or {TIME}. An executable made from a STUB_EXE that uses the cache\n"
    "         uses it too (its digest that of its own payload). IMAGE must not\n"
    "         be empty.\n"
    "\n"
    "Links among the inputs are followed: a link to a file is stored as that file,\n"
    "a link to a directory as that directory; a loop of links is refused.\n"
    "Entries after the first are sorted by name, so the same inputs give the same\n"
    "image byte for byte. Names must be valid Windows file names, and no two may\n"
    "differ only in case. Outputs are written under a temporary name and renamed\n"
    "when complete: a refused or failed run leaves no output behind.\n"
    "\n"
    "examples:\n"
    "  onefile-pack pack --launcher onefile-launcher.exe --output app.exe app.dll data\n"
    "  onefile-pack build --output app.payload app.dll README.txt assets=res/assets\n"
    "  onefile-pack attach --launcher onefile-launcher.exe --image app.payload --output app.exe\n"
    "  onefile-pack pack --launcher onefile-launcher.exe --output app.exe --icon app.ico \\\n"
    "      --product App --version 2.1 --target-directory '{CACHE_DIR}\\App\\run_{PID}_{TIME}' app.dll\n"
    "  onefile-pack list app.exe\n"
    "  onefile-pack extract app.exe --output unpacked\n"
    "\n"
    "exit status: 0 success, 1 refused input or failure, 2 usage error\n";

enum option_bits : unsigned {
    option_output = 1,
    option_launcher = 2,
    option_image = 4,
    option_keep_empty_dirs = 8,
    // The executable's identity (attach and pack), all optional.
    option_icon = 1u << 16,
    option_company = 1u << 17,
    option_product = 1u << 18,
    option_version = 1u << 19,
    option_description = 1u << 20,
    option_copyright = 1u << 21,
    option_execution_level = 1u << 22,
    option_manifest = 1u << 23,
    option_target_directory = 1u << 24,
    option_cache = 1u << 25,
    option_identity = 0x3FFu << 16,
    // The build-time checks' options.
    option_allow_dll = 1u << 26,
};

// Options that may be given more than once, each value kept.
constexpr unsigned list_options = option_allow_dll;

// The identity options are its base, so that the option table can point at
// them like at the others.
struct command_arguments : identity_options {
    std::string output;
    std::string launcher;
    std::string image;
    bool keep_empty_dirs = false;
    std::string allow_dll;  // the last --allow-dll while parsing
    std::vector<std::string> allowed_dlls;
    bool help = false;
    std::vector<std::string> positionals;
};

int usage_error(const std::string& reason)
{
    report(reason + " (see onefile-pack --help)");
    return status_usage;
}

struct option_name {
    const char* name;
    unsigned bit;
    std::string command_arguments::*value;    // null for a flag
    bool command_arguments::*flag = nullptr;  // set for a flag
};

const option_name option_names[] = {
    {"--output", option_output, &command_arguments::output},
    {"--launcher", option_launcher, &command_arguments::launcher},
    {"--image", option_image, &command_arguments::image},
    {"--keep-empty-dirs", option_keep_empty_dirs, nullptr, &command_arguments::keep_empty_dirs},
    // The executable's identity.
    {"--icon", option_icon, &command_arguments::icon},
    {"--company", option_company, &command_arguments::company},
    {"--product", option_product, &command_arguments::product},
    {"--version", option_version, &command_arguments::version},
    {"--description", option_description, &command_arguments::description},
    {"--copyright", option_copyright, &command_arguments::copyright},
    {"--execution-level", option_execution_level, &command_arguments::execution_level},
    {"--manifest", option_manifest, &command_arguments::manifest},
    {"--target-directory", option_target_directory, &command_arguments::target_directory},
    {"--cache", option_cache, nullptr, &command_arguments::cache},
    // The build-time checks.
    {"--allow-dll", option_allow_dll, &command_arguments::allow_dll},
};

// Options may come anywhere among the positional arguments, as "--name
// VALUE" or "--name=VALUE"; after "--" everything is positional, for files
// whose names start with a dash.
int parse_arguments(const std::vector<std::string>& arguments, size_t first, const char* command, unsigned allowed,
                    command_arguments* parsed)
{
    unsigned seen = 0;
    bool options_done = false;
    for (size_t i = first; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (options_done || argument.size() < 2 || argument[0] != '-') {
            parsed->positionals.push_back(argument);
            continue;
        }
        if (argument == "--") {
            options_done = true;
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            parsed->help = true;
            continue;
        }
        std::string name = argument;
        std::string value;
        bool inline_value = false;
        size_t equals = argument.find('=');
        if (equals != std::string::npos) {
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
            return usage_error("unknown option '" + name + "' for " + command);
        }
        if ((seen & option->bit) && !(option->bit & list_options)) {
            return usage_error("option '" + name + "' given twice");
        }
        seen |= option->bit;
        if (option->value == nullptr) {
            if (inline_value) {
                return usage_error("option '" + name + "' takes no value");
            }
            parsed->*(option->flag) = true;
            continue;
        }
        if (!inline_value) {
            if (i + 1 >= arguments.size()) {
                return usage_error("option '" + name + "' needs a value");
            }
            value = arguments[++i];
        }
        if (value.empty()) {
            return usage_error("option '" + name + "' needs a non-empty value");
        }
        parsed->*(option->value) = value;
        if (option->bit == option_allow_dll) {
            parsed->allowed_dlls.push_back(value);
        }
    }
    if (parsed->help) {
        return status_ok;
    }
    for (const option_name& option : option_names) {
        bool required = option.value != nullptr && (allowed & option.bit) &&
                        !(option.bit & (option_identity | list_options));
        if (required && (parsed->*(option.value)).empty()) {
            return usage_error(std::string(command) + " needs " + option.name);
        }
    }
    return status_ok;
}

}  // namespace

int tool_main(const std::vector<std::string>& arguments)
{
    if (arguments.empty()) {
        print_err(usage_text);
        return status_usage;
    }
    const std::string& command = arguments[0];
    if (command == "--help" || command == "-h" || command == "help") {
        print_out(usage_text + std::string(help_text));
        return status_ok;
    }
    struct command_shape {
        const char* name;
        unsigned options;
        size_t min_positionals;
        size_t max_positionals;
    };
    static const command_shape shapes[] = {
        {"build", option_output | option_keep_empty_dirs | option_allow_dll, 1, SIZE_MAX},
        {"attach", option_launcher | option_image | option_output | option_identity, 0, 0},
        {"pack", option_launcher | option_output | option_keep_empty_dirs | option_allow_dll | option_identity, 1,
         SIZE_MAX},
        {"list", 0, 1, 1},
        {"extract", option_output, 1, 1},
        {"check", option_identity, 0, 0},
    };
    const command_shape* shape = nullptr;
    for (const command_shape& candidate : shapes) {
        if (command == candidate.name) {
            shape = &candidate;
        }
    }
    if (shape == nullptr) {
        return usage_error("unknown command '" + command + "'");
    }
    command_arguments parsed;
    int status = parse_arguments(arguments, 1, shape->name, shape->options, &parsed);
    if (status != status_ok) {
        return status;
    }
    if (parsed.help) {
        print_out(usage_text + std::string(help_text));
        return status_ok;
    }
    size_t count = parsed.positionals.size();
    if (count < shape->min_positionals) {
        return usage_error(command + (shape->min_positionals == 1 && shape->max_positionals == 1
                                          ? " needs an image or executable"
                                          : " needs a main library"));
    }
    if (count > shape->max_positionals) {
        return usage_error("unexpected argument '" + parsed.positionals[shape->max_positionals] + "' for " +
                           command);
    }
    std::vector<std::string> inputs;
    if (count > 1) {
        inputs.assign(parsed.positionals.begin() + 1, parsed.positionals.end());
    }
    if (command == "build") {
        return build_command(parsed.output, parsed.positionals[0], inputs, parsed.keep_empty_dirs,
                             parsed.allowed_dlls);
    }
    if (command == "attach") {
        return attach_command(parsed.launcher, parsed.image, parsed.output, parsed);
    }
    if (command == "pack") {
        return pack_command(parsed.launcher, parsed.output, parsed.positionals[0], inputs, parsed.keep_empty_dirs,
                            parsed.allowed_dlls, parsed);
    }
    if (command == "list") {
        return list_command(parsed.positionals[0]);
    }
    if (command == "check") {
        return check_command(parsed);
    }
    return extract_command(parsed.positionals[0], parsed.output);
}
