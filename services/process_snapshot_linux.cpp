#include "process_snapshot.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool parseProcessId(const char *name, std::uint32_t &processId)
{
    if (*name == '\0')
        return false;
    std::uint64_t value = 0;
    for (const char *c = name; *c; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        value = value * 10 + std::uint64_t(*c - '0');
        if (value > UINT32_MAX)
            return false;
    }
    processId = std::uint32_t(value);
    return true;
}

std::string baseName(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The target of /proc/ID/exe. Linux appends " (deleted)" when the file was removed or replaced
// while the process runs, as an update does; that suffix is not part of the name.
bool executableLinkTarget(const std::string &processDirectory, std::string &target, int &error)
{
    char buffer[4096];
    const ssize_t length = readlink((processDirectory + "/exe").c_str(), buffer, sizeof(buffer));
    if (length < 0) {
        error = errno;
        return false;
    }
    target.assign(buffer, std::size_t(length));
    static const char deleted[] = " (deleted)";
    const std::size_t suffixLength = sizeof(deleted) - 1;
    if (target.size() > suffixLength
        && target.compare(target.size() - suffixLength, suffixLength, deleted) == 0)
        target.resize(target.size() - suffixLength);
    return true;
}

// argv[0] of the process, for processes whose exe link we may not read (another user's).
bool firstArgument(const std::string &processDirectory, std::string &argument)
{
    const int fd = open((processDirectory + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[4096];
    ssize_t length;
    do {
        length = read(fd, buffer, sizeof(buffer));
    } while (length < 0 && errno == EINTR);
    close(fd);
    if (length <= 0)
        return false;
    argument.assign(buffer, strnlen(buffer, std::size_t(length)));
    return !argument.empty();
}

} // namespace

namespace ProcessSnapshot {

std::uint32_t enumerate(Callback callback, void *context)
{
    DIR *proc = opendir("/proc");
    if (!proc)
        return std::uint32_t(errno);

    std::vector<std::uint32_t> processIds;
    std::uint32_t error = 0;
    for (;;) {
        errno = 0;
        const dirent *entry = readdir(proc);
        if (!entry) {
            error = std::uint32_t(errno);
            break;
        }
        std::uint32_t processId;
        if (parseProcessId(entry->d_name, processId))
            processIds.push_back(processId);
    }
    closedir(proc);
    std::sort(processIds.begin(), processIds.end());

    ProcessSnapshotEntry found;
    std::string path;
    for (const std::uint32_t processId : processIds) {
        const std::string processDirectory = "/proc/" + std::to_string(processId);
        int linkError = 0;
        if (executableLinkTarget(processDirectory, path, linkError)) {
            found.fileName = baseName(path);
        } else if (linkError == ENOENT || linkError == ESRCH) {
            // Gone since /proc was listed, a zombie, or a kernel thread: no executable runs.
            continue;
        } else if (firstArgument(processDirectory, path)) {
            found.fileName = baseName(path);
        } else {
            continue;
        }
        found.processId = processId;
        callback(found, context);
    }
    return error;
}

} // namespace ProcessSnapshot
