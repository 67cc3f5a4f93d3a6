#include "runtime/proc.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The command name sits between the first "(" and the last ")" of the
// stat line; it may itself hold either character.
bool procHasName(int pid, const char* name)
{
    char path[32];
    std::snprintf(path, sizeof(path), "/proc/%d/stat", pid);
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char text[256];
    ssize_t n = ::read(fd, text, sizeof(text) - 1);
    ::close(fd);
    if (n <= 0)
        return false;
    text[n] = '\0';
    char* close = std::strrchr(text, ')');
    if (!close)
        return false;
    *close = '\0';
    const char* open = std::strchr(text, '(');
    return open && std::strcmp(open + 1, name) == 0;
}

} // namespace

int find_proc_by_name(const char* name, int pid)
{
    if (!name)
        return -1;
    if (pid > 0 && procHasName(pid, name))
        return pid;
    DIR* dir = ::opendir("/proc");
    if (!dir)
        return -1;
    int result = -1;
    while (struct dirent* entry = ::readdir(dir)) {
        int candidate = std::atoi(entry->d_name);
        if (candidate > 0 && procHasName(candidate, name)) {
            result = candidate;
            break;
        }
    }
    ::closedir(dir);
    return result;
}
