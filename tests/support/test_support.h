// Helpers shared by every test program.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

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

} // namespace vbtest
