#include "runtime/paths.h"

namespace Paths {

namespace {
std::string& rootDir()
{
    static std::string dir;
    return dir;
}
} // namespace

std::string resolve(const std::string& path)
{
    const std::string& r = rootDir();
    if (r.empty() || path.empty() || path[0] != '/')
        return path;
    if (r.back() == '/')
        return r + path.substr(1);
    return r + path;
}

void set_root(const std::string& dir) { rootDir() = dir; }

const std::string& root() { return rootDir(); }

} // namespace Paths
