#include "runtime/console.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

#include "runtime/multiplexer.h"
#include "runtime/mux_time.h"

namespace Console {

int SwitchToBinaryMode()
{
    struct termios attrs;
    // Zeroed so a failed read never hands stack garbage to tcsetattr.
    std::memset(&attrs, 0, sizeof(attrs));
    if (::tcgetattr(STDIN_FILENO, &attrs) != 0)
        std::cerr << "can't obtain terminal attributes" << std::endl;
    attrs.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOPRT | ECHOCTL);
    int rc = ::tcsetattr(STDIN_FILENO, TCSADRAIN, &attrs);
    if (rc != 0)
        std::cerr << "can't set terminal attributes" << std::endl;
    return rc;
}

int SwitchToNonBlockMode()
{
    int on = 1;
    int rc = ::ioctl(STDIN_FILENO, FIONBIO, &on);
    if (rc != 0)
        std::cerr << "can't switch terminal to blocked mode" << std::endl;
    return rc;
}

// ------------------------------------------------------------------ Output

namespace {

const size_t kArea = 16384;

// The wait left to the console in the current loop pass, in ms.
int64_t& pass_wait_left()
{
    static uint64_t pass = 0;
    static int64_t left = kPassWaitMs;
    if (multiplexer.passes() != pass) {
        pass = multiplexer.passes();
        left = kPassWaitMs;
    }
    return left;
}

// A pipe or a terminal gets a description of its own, so that the console
// may be non-blocking for us alone: the shell that shares the terminal
// must not see O_NONBLOCK.
Fd reopen_nonblocking(int fd)
{
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    return Fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
}

} // namespace

Output::Output(int fd) : mFd(fd), mKind(Kind::file), mOwed(kArea)
{
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISREG(st.st_mode))
        return;
    if (S_ISSOCK(st.st_mode)) {
        mKind = Kind::socket;
        return;
    }
    if (!S_ISFIFO(st.st_mode) && !::isatty(fd))
        return;
    mOwn = reopen_nonblocking(fd);
    mKind = mOwn ? Kind::own : Kind::shared;
}

ssize_t Output::send_now(const char* p, size_t length)
{
    ssize_t n;
    do {
        switch (mKind) {
        case Kind::socket:
            n = ::send(mFd, p, length, MSG_DONTWAIT | MSG_NOSIGNAL);
            break;
        case Kind::own:
            n = ::write(mOwn.get(), p, length);
            break;
        case Kind::shared: {
            // Blocking, and ours alone to change: only as much as a
            // writable pipe takes at once.
            pollfd room = {mFd, POLLOUT, 0};
            if (::poll(&room, 1, 0) == 0) {
                errno = EAGAIN;
                return -1;
            }
            n = ::write(mFd, p, std::min<size_t>(length, PIPE_BUF));
            break;
        }
        default:
            n = ::write(mFd, p, length);
        }
    } while (n < 0 && errno == EINTR);
    return n;
}

bool Output::wait_room()
{
    int64_t& left = pass_wait_left();
    if (mBehind || left <= 0)
        return false;
    int64_t from = Mux::real_milliseconds();
    pollfd room = {mKind == Kind::own ? mOwn.get() : mFd, POLLOUT, 0};
    int n = ::poll(&room, 1, static_cast<int>(left));
    left -= Mux::real_milliseconds() - from;
    // An error shows at the write.
    return n > 0 || (n < 0 && errno == EINTR);
}

bool Output::send_owed()
{
    auto send = [this](const char* p, size_t length) { return send_now(p, length); };
    auto report = [](std::string& into, unsigned long count) {
        into = std::to_string(count) + " log lines dropped: the console did not take them\n";
    };
    for (;;) {
        int ready = mOwed.send_owed(send, report);
        if (ready > 0)
            return true;
        if (ready < 0 || !wait_room())
            return false;
    }
}

void Output::drop(const char* p, const char* end)
{
    unsigned long lines = static_cast<unsigned long>(std::count(p, end, '\n'));
    mSkipping = end[-1] != '\n';
    mOwed.drop(lines + (mSkipping ? 1 : 0));
    mBehind = true;
}

void Output::write(const char* p, const char* end)
{
    while (p < end) {
        if (mMidLine || mSkipping) {
            // The rest of a line: owed after its start, or dropped with it.
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            const char* stop = nl ? nl + 1 : end;
            if (mMidLine)
                mOwed.owe(p, static_cast<size_t>(stop - p));
            if (nl)
                mMidLine = mSkipping = false;
            p = stop;
            continue;
        }
        if (!send_owed())
            return drop(p, end);
        ssize_t n = send_now(p, static_cast<size_t>(end - p));
        if (n < 0 && WholeRecords::would_block(errno) && wait_room())
            continue;
        if (n <= 0)
            return drop(p, end);
        p += n;
        mMidLine = p[-1] != '\n';
    }
    // A cut line's rest goes now while the pass's wait lasts; a console
    // that took everything is waited for again.
    if (send_owed() && !mMidLine)
        mBehind = false;
}

// --------------------------------------------------------------- StreamBuf

StreamBuf::StreamBuf(std::shared_ptr<Output> output) : LogStreamBuf(0), mOutput(std::move(output))
{
    LogStreamBuf::setbuf(new char[kArea], kArea);
}

int StreamBuf::sync()
{
    char* begin = pbase();
    if (!begin)
        return 0;
    char* end = pptr();
    char* last = static_cast<char*>(::memrchr(begin, '\n', static_cast<size_t>(end - begin)));
    if (last) {
        mOutput->write(begin, last + 1);
        keep_from(last + 1);
    } else if (end == epptr()) {
        // The start of a line longer than the area: its rest follows.
        mOutput->write(begin, end);
        keep_from(end);
    }
    return 0;
}

void Install()
{
    struct stat out, err;
    bool same = ::fstat(STDOUT_FILENO, &out) == 0 && ::fstat(STDERR_FILENO, &err) == 0 &&
                out.st_dev == err.st_dev && out.st_ino == err.st_ino;
    // Installed for the rest of the process: never deleted, since the
    // streams may still write during exit.
    auto* toOut = new StreamBuf(std::make_shared<Output>(STDOUT_FILENO));
    auto* toErr = same ? toOut : new StreamBuf(std::make_shared<Output>(STDERR_FILENO));
    std::cout.flush();
    std::cerr.flush();
    std::cout.rdbuf(toOut);
    std::cerr.rdbuf(toErr);
    std::clog.rdbuf(toErr);
}

} // namespace Console
