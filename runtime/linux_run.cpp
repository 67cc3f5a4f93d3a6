#include "runtime/linux_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "runtime/paths.h"

namespace Linux {

Run::Run(const char* name)
    : mPath(Paths::resolve(std::string("/var/run/") + (name ? name : "") + ".pid"))
{
    // Close-on-exec: a child process must not keep the pid file open.
    mFd = ::open(mPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_SYNC | O_CLOEXEC, 0644);
    if (mFd < 0)
        return;
    char text[24];
    int len = std::snprintf(text, sizeof(text), "%d", static_cast<int>(::getpid()));
    for (int done = 0; done < len;) {
        ssize_t n = ::write(mFd, text + done, static_cast<size_t>(len - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<int>(n);
    }
    ::fsync(mFd);
}

Run::~Run()
{
    if (mFd < 0)
        return;
    ::close(mFd);
    ::unlink(mPath.c_str());
}

} // namespace Linux
