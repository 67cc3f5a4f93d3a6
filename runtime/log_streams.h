// Stream buffers that carry the three standard streams to the system log or
// to hourly log files, cutting the text into lines.
#pragma once

#include <ctime>
#include <fstream>
#include <memory>
#include <streambuf>
#include <string>

class SysLogManager;

// A stream buffer over an owned array. The last `reserve` characters of the
// array are kept out of the put area (room for a terminating NUL).
class LogStreamBuf : public std::streambuf {
public:
    ~LogStreamBuf() override = default;

protected:
    explicit LogStreamBuf(int reserve) : mReserve(reserve) {}

    // Flushes, then takes ownership of a new[]-allocated array as the put
    // area; sizes below 2 are ignored. Text the flush kept is carried over.
    std::streambuf* setbuf(char* array, std::streamsize size) override;
    int overflow(int c) override;

    // Drops the text before `from` and keeps the rest at the start.
    void keep_from(char* from);

private:
    std::unique_ptr<char[]> mArea;
    int mReserve;
};

// One syslog record per line, through the C library's syslog().
class SysLogStreamBuf : public LogStreamBuf {
public:
    SysLogStreamBuf(int facility, int level);
    ~SysLogStreamBuf() override = default;

protected:
    SysLogStreamBuf(int facility, int level, int size);
    // Logs every complete line; a line's start is kept until its newline
    // arrives or the put area is full.
    int sync() override;
    virtual void log_line(const char* line);
    virtual void end_of_flush() {}

    int mPriority;
};

// The same through the process's own client: the lines of one flush go out
// together when the flush ends.
class ManagedSysLogStreamBuf : public SysLogStreamBuf {
public:
    ManagedSysLogStreamBuf(int facility, int level);
    // For tests: a client other than the global one.
    ManagedSysLogStreamBuf(int facility, int level, SysLogManager& manager);
    ~ManagedSysLogStreamBuf() override = default;

protected:
    void log_line(const char* line) override;
    void end_of_flush() override;

private:
    SysLogManager& mManager;
};

// Lines with a "mm:ss:micro: " prefix into one file per local hour,
// <directory>/<yyyy_mm_dd-hh>.log, appended to.
class LogFileStreamBuf : public LogStreamBuf {
public:
    explicit LogFileStreamBuf(const std::string& directory);
    ~LogFileStreamBuf() override = default;

    // Closes the current file and opens the one of the current hour.
    void NewFile();

protected:
    int sync() override;

private:
    void open_for(const std::tm& local);
    void write(const char* begin, const char* end);

    std::unique_ptr<std::filebuf> mFile;
    std::string mDirectory;
    int mHour = -1;
    bool mMidLine = false;
};
