// The pid file: "/var/run/<name>.pid" holds the process id while the guard
// lives.
#pragma once

#include <string>

namespace Linux {

class Run {
public:
    // Creates the file and writes the pid (decimal, no line end); a file
    // that cannot be created is not reported.
    explicit Run(const char* name);
    // Removes the file when it was created.
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // -1 when creating the file failed.
    int fd() const { return mFd; }
    // The path as opened.
    const std::string& path() const { return mPath; }

private:
    int mFd = -1;
    std::string mPath;
};

} // namespace Linux
