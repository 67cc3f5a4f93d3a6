#include "tests/support/test_support.h"

#include <dirent.h>
#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace vbtest {

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

TempDir::~TempDir()
{
    nftw(mPath.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
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

} // namespace vbtest
