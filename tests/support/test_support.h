// Helpers shared by every test program.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace vbtest {

// Captures what is written to one of the standard streams while it lives.
class CaptureStream {
public:
    explicit CaptureStream(std::ostream& s) : mStream(s), mOld(s.rdbuf(mBuf.rdbuf())) {}
    ~CaptureStream() { mStream.rdbuf(mOld); }
    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;
    std::string str() const { return mBuf.str(); }
    void clear() { mBuf.str(std::string()); }

private:
    std::ostream& mStream;
    std::ostringstream mBuf;
    std::streambuf* mOld;
};

// Removes path with everything under it, as rm -rf does (links are not
// followed).
void remove_tree(const std::string& path);
// Removes everything under the folder path, keeping the folder.
void empty_tree(const std::string& path);

// A fresh directory under $TMPDIR (or /tmp), removed with its content.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return mPath; }
    std::string file(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

// Number of open descriptors of this process (entries of /proc/self/fd).
int open_fd_count();

// Reads a whole file; empty when it cannot be opened.
std::string read_file(const std::string& path);

// Moves the process, once, onto a network of its own with its loopback
// up: every port on it is the test's, so a port it found free stays free
// whatever other processes bind meanwhile. False, with one line, where the
// process may not (it then shares the host's ports).
bool own_network();

// A fixture's first base: what comes after it (sockets, a server process
// it starts) lives on the test's own network.
struct OwnNetwork {
    OwnNetwork() { own_network(); }
};

// While it lives, the process may open only `left` more descriptors: the
// soft limit is lowered and the room below it filled.
class DescriptorsLeft {
public:
    explicit DescriptorsLeft(int left);
    ~DescriptorsLeft();
    DescriptorsLeft(const DescriptorsLeft&) = delete;
    DescriptorsLeft& operator=(const DescriptorsLeft&) = delete;
    // Gives back n more descriptors.
    void release(int n);

private:
    rlimit mOld{};
    std::vector<int> mFillers;
};

// While it lives, SIGALRM arrives every period_us microseconds, with a
// handler that counts it and restarts nothing it interrupts.
class SignalStorm {
public:
    explicit SignalStorm(unsigned period_us);
    ~SignalStorm();
    SignalStorm(const SignalStorm&) = delete;
    SignalStorm& operator=(const SignalStorm&) = delete;
    unsigned delivered() const;

private:
    struct sigaction mOld = {};
};

// Sends all of s, or fails.
inline bool write_all(int fd, const std::string& s)
{
    for (size_t done = 0; done < s.size();) {
        ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// How often part occurs in text: a line written once, not again and again.
inline size_t count_of(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

} // namespace vbtest
