// The tool's files on Linux, macOS and other POSIX hosts.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/host_files.h"

namespace {

host_error last_error()
{
    return errno == 0 ? EIO : static_cast<host_error>(errno);
}

void facts_of_stat(const struct stat& status, host_file_facts* facts)
{
    facts->is_directory = S_ISDIR(status.st_mode);
    facts->is_link = false;
    facts->size = static_cast<uint64_t>(status.st_size);
    facts->volume = static_cast<uint64_t>(status.st_dev);
    facts->index = static_cast<uint64_t>(status.st_ino);
}

int descriptor_of(const host_file* file)
{
    return static_cast<int>(file->handle);
}

}  // namespace

const char host_separator = '/';

bool host_error_is_not_found(host_error error)
{
    return error == ENOENT || error == ENOTDIR;
}

std::string host_error_text(host_error error)
{
    if (error == 0) {
        return "the system gave no reason";
    }
    return std::string(strerror(static_cast<int>(error))) + " (error " + std::to_string(error) + ")";
}

bool host_full_path(const std::string& path, std::string* full, host_error* error)
{
    full->clear();
    if (path.empty()) {
        *error = ENOENT;
        return false;
    }
    std::string joined = path;
    if (path[0] != '/') {
        char directory[PATH_MAX];
        if (getcwd(directory, sizeof directory) == nullptr) {
            *error = last_error();
            return false;
        }
        joined = std::string(directory) + "/" + path;
    }
    // "." and ".." by the text alone, as Windows resolves them, so that both
    // hosts read "dir/../x" the same way.
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= joined.size()) {
        size_t end = joined.find('/', start);
        if (end == std::string::npos) {
            end = joined.size();
        }
        std::string part = joined.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    for (const std::string& part : parts) {
        *full += "/" + part;
    }
    if (full->empty()) {
        *full = "/";
    }
    return true;
}

std::string host_base_name(const std::string& full)
{
    size_t end = full.size();
    while (end > 0 && full[end - 1] == '/') {
        --end;
    }
    if (end == 0) {
        return "";
    }
    size_t start = full.rfind('/', end - 1);
    start = start == std::string::npos ? 0 : start + 1;
    return full.substr(start, end - start);
}

bool host_inspect(const std::string& full, host_file_facts* facts, host_error* error)
{
    struct stat own;
    struct stat target;
    if (lstat(full.c_str(), &own) != 0 || stat(full.c_str(), &target) != 0) {
        *error = last_error();
        return false;
    }
    facts_of_stat(target, facts);
    facts->is_link = S_ISLNK(own.st_mode);
    return true;
}

bool host_list_directory(const std::string& full, std::vector<host_directory_entry>* entries, host_error* error)
{
    entries->clear();
    DIR* directory = opendir(full.c_str());
    if (directory == nullptr) {
        *error = last_error();
        return false;
    }
    for (;;) {
        errno = 0;
        struct dirent* found = readdir(directory);
        if (found == nullptr) {
            break;
        }
        std::string leaf = found->d_name;
        if (leaf == "." || leaf == "..") {
            continue;
        }
        // The listing's own type is not given by every file system; the
        // entry's status always is.
        struct stat own;
        std::string path = full + (full.back() == '/' ? "" : "/") + leaf;
        if (lstat(path.c_str(), &own) != 0) {
            *error = last_error();
            closedir(directory);
            return false;
        }
        entries->push_back({leaf, S_ISDIR(own.st_mode), S_ISLNK(own.st_mode), static_cast<uint64_t>(own.st_size)});
    }
    *error = static_cast<host_error>(errno);
    closedir(directory);
    return *error == 0;
}

bool host_create_directories(const std::string& full, host_error* error)
{
    for (size_t at = 1; at <= full.size(); ++at) {
        if (at != full.size() && full[at] != '/') {
            continue;
        }
        std::string part = full.substr(0, at);
        struct stat status;
        if (stat(part.c_str(), &status) == 0) {
            if (!S_ISDIR(status.st_mode)) {
                *error = ENOTDIR;
                return false;
            }
            continue;
        }
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
            *error = last_error();
            return false;
        }
    }
    return true;
}

bool host_open_read(const std::string& full, host_file* file, host_file_facts* facts, host_error* error)
{
    int descriptor = open(full.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (descriptor < 0 || fstat(descriptor, &status) != 0) {
        *error = last_error();
        if (descriptor >= 0) {
            close(descriptor);
        }
        return false;
    }
    facts_of_stat(status, facts);
    file->handle = descriptor;
    return true;
}

bool host_read(host_file* file, void* buffer, size_t size, size_t* got, host_error* error)
{
    for (;;) {
        ssize_t read_now = read(descriptor_of(file), buffer, size);
        if (read_now >= 0) {
            *got = static_cast<size_t>(read_now);
            return true;
        }
        if (errno != EINTR) {
            *error = last_error();
            return false;
        }
    }
}

bool host_file_size(host_file* file, uint64_t* size, host_error* error)
{
    struct stat status;
    if (fstat(descriptor_of(file), &status) != 0) {
        *error = last_error();
        return false;
    }
    *size = static_cast<uint64_t>(status.st_size);
    return true;
}

bool host_create_file(const std::string& full, bool exclusive, bool executable, host_file* file, bool* exists,
                      host_error* error)
{
    *exists = false;
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
    // An executable gets the execute bits (less the umask), so that a host
    // that runs Windows programs directly (binfmt_misc) can start it.
    int descriptor = open(full.c_str(), flags, executable ? 0777 : 0666);
    if (descriptor < 0) {
        *error = last_error();
        *exists = *error == EEXIST;
        return false;
    }
    file->handle = descriptor;
    return true;
}

bool host_write(host_file* file, const void* data, size_t size, host_error* error)
{
    const uint8_t* at = static_cast<const uint8_t*>(data);
    while (size != 0) {
        ssize_t written = write(descriptor_of(file), at, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            *error = written < 0 ? last_error() : ENOSPC;
            return false;
        }
        at += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool host_close(host_file* file, host_error* error)
{
    bool ok = close(descriptor_of(file)) == 0;
    if (!ok) {
        *error = last_error();
    }
    file->handle = -1;
    return ok;
}

bool host_rename_over(const std::string& from, const std::string& to, host_error* error)
{
    if (rename(from.c_str(), to.c_str()) != 0) {
        *error = last_error();
        return false;
    }
    return true;
}

void host_delete(const std::string& full)
{
    unlink(full.c_str());
}

bool host_map_file(const std::string& full, host_view* view, host_error* error)
{
    *view = {nullptr, 0, -1, 0};
    host_file file;
    host_file_facts facts;
    if (!host_open_read(full, &file, &facts, error)) {
        return false;
    }
    view->file = file.handle;
    view->size = facts.size;
    // An empty file cannot be mapped; it is simply zero bytes.
    if (view->size == 0) {
        return true;
    }
    void* bytes = mmap(nullptr, static_cast<size_t>(view->size), PROT_READ, MAP_PRIVATE, descriptor_of(&file), 0);
    if (bytes == MAP_FAILED) {
        *error = last_error();
        host_unmap_file(view);
        return false;
    }
    view->bytes = static_cast<const uint8_t*>(bytes);
    return true;
}

void host_unmap_file(host_view* view)
{
    if (view->bytes != nullptr) {
        munmap(const_cast<uint8_t*>(view->bytes), static_cast<size_t>(view->size));
    }
    if (view->file >= 0) {
        close(static_cast<int>(view->file));
    }
    *view = {nullptr, 0, -1, 0};
}
