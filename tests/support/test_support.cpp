#include "tests/support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <atomic>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace vbtest {

static bool loopback_up()
{
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq r = {};
    std::strncpy(r.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &r) == 0 && (r.ifr_flags |= IFF_UP, ::ioctl(s, SIOCSIFFLAGS, &r) == 0);
    int error = errno;
    if (s >= 0)
        ::close(s);
    errno = error;
    return up;
}

bool own_network()
{
    static const bool own = [] {
        if (::unshare(CLONE_NEWNET) == 0 && loopback_up())
            return true;
        std::cerr << "test: no network of its own (" << std::strerror(errno) << "): ports shared with other processes"
                  << std::endl;
        return false;
    }();
    return own;
}

TempDir::TempDir()
{
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/voxbridge-test-XXXXXX";
    if (!mkdtemp(&tmpl[0]))
        throw std::runtime_error("mkdtemp failed");
    mPath = tmpl;
}

static int removeEntry(const char* path, const struct stat*, int, struct FTW*)
{
    return ::remove(path);
}

void remove_tree(const std::string& path)
{
    nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

static int removeBelow(const char* path, const struct stat*, int, struct FTW* at)
{
    return at->level == 0 ? 0 : ::remove(path);
}

void empty_tree(const std::string& path)
{
    nftw(path.c_str(), removeBelow, 16, FTW_DEPTH | FTW_PHYS);
}

TempDir::~TempDir()
{
    remove_tree(mPath);
}

int open_fd_count()
{
    DIR* d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    int n = 0;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n - 1; // the directory's own descriptor
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---------------------------------------------------------- DescriptorsLeft

DescriptorsLeft::DescriptorsLeft(int left)
{
    ::getrlimit(RLIMIT_NOFILE, &mOld);
    // Room for what is open now and a little more, so that filling it is quick.
    rlimit low = mOld;
    low.rlim_cur = std::min<rlim_t>(mOld.rlim_cur, static_cast<rlim_t>(open_fd_count() + 64));
    ::setrlimit(RLIMIT_NOFILE, &low);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        mFillers.push_back(fd);
    release(left);
}

DescriptorsLeft::~DescriptorsLeft()
{
    release(static_cast<int>(mFillers.size()));
    ::setrlimit(RLIMIT_NOFILE, &mOld);
}

void DescriptorsLeft::release(int n)
{
    for (; n > 0 && !mFillers.empty(); --n) {
        ::close(mFillers.back());
        mFillers.pop_back();
    }
}

// -------------------------------------------------------------- SignalStorm

namespace {
std::atomic<unsigned> stormCount{0};
void count_signal(int)
{
    ++stormCount;
}
} // namespace

SignalStorm::SignalStorm(unsigned period_us)
{
    stormCount = 0;
    struct sigaction sa = {};
    sa.sa_handler = count_signal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGALRM, &sa, &mOld);
    itimerval t = {{0, static_cast<suseconds_t>(period_us)}, {0, static_cast<suseconds_t>(period_us)}};
    ::setitimer(ITIMER_REAL, &t, nullptr);
}

SignalStorm::~SignalStorm()
{
    itimerval off = {};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &mOld, nullptr);
}

unsigned SignalStorm::delivered() const
{
    return stormCount;
}

} // namespace vbtest
