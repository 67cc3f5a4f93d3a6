// Every file the server opens by absolute path (the pid file, status files,
// the configuration file, the watchdog device, log files) is named through
// Paths::resolve, so a test can move the whole tree under a directory of its
// own and the suite never writes under /var or /usr/local.
#pragma once

#include <string>

namespace Paths {

// The path as the process should open it: unchanged by default, else
// prefixed with the root directory set below.
std::string resolve(const std::string& path);

// "" (the default) means the real file system.
void set_root(const std::string& dir);
const std::string& root();

// RAII redirection for one test.
class ScopedRoot {
public:
    explicit ScopedRoot(const std::string& dir) : mOld(root()) { set_root(dir); }
    ~ScopedRoot() { set_root(mOld); }
    ScopedRoot(const ScopedRoot&) = delete;
    ScopedRoot& operator=(const ScopedRoot&) = delete;

private:
    std::string mOld;
};

} // namespace Paths
