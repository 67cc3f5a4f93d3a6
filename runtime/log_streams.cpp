#include "runtime/log_streams.h"

#include <syslog.h>

#include <cstdio>
#include <cstring>

#include "runtime/mux_time.h"
#include "runtime/paths.h"
#include "runtime/syslog.h"

namespace {
const int kSysLogArea = 1024;
const int kManagedArea = 16384;
const int kFileArea = 16;

std::tm local_time(Mux::timeval& tv)
{
    Mux::gettimeval(tv);
    time_t t = tv.sec;
    std::tm local;
    if (!::localtime_r(&t, &local))
        std::memset(&local, 0, sizeof(local));
    return local;
}
} // namespace

// ------------------------------------------------------------ LogStreamBuf

std::streambuf* LogStreamBuf::setbuf(char* array, std::streamsize size)
{
    if (size < 2)
        return this;
    sync();
    std::streamsize room = size - mReserve;
    std::streamsize kept = pbase() ? pptr() - pbase() : 0;
    if (kept >= room)
        kept = 0;
    if (kept)
        std::memcpy(array, pbase(), static_cast<size_t>(kept));
    mArea.reset(array);
    setp(array, array + room);
    pbump(static_cast<int>(kept));
    return this;
}

int LogStreamBuf::overflow(int c)
{
    if (!pbase())
        return traits_type::eof();
    sync();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        if (pptr() == epptr())
            return traits_type::eof();
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

void LogStreamBuf::keep_from(char* from)
{
    size_t rest = static_cast<size_t>(pptr() - from);
    std::memmove(pbase(), from, rest);
    setp(pbase(), epptr());
    pbump(static_cast<int>(rest));
}

// --------------------------------------------------------- SysLogStreamBuf

SysLogStreamBuf::SysLogStreamBuf(int facility, int level) : SysLogStreamBuf(facility, level, kSysLogArea) {}

SysLogStreamBuf::SysLogStreamBuf(int facility, int level, int size) : LogStreamBuf(1), mPriority(facility | level)
{
    LogStreamBuf::setbuf(new char[size], size);
}

int SysLogStreamBuf::sync()
{
    char* begin = pbase();
    if (!begin)
        return 0;
    char* end = pptr();
    *end = '\0'; // the reserved last character
    char* last = static_cast<char*>(::memrchr(begin, '\n', static_cast<size_t>(end - begin)));
    if (!last) {
        if (end < epptr())
            return 0;
        // A full area without a line end goes out as one line.
        log_line(begin);
        end_of_flush();
        keep_from(end);
        return 0;
    }
    char* line = begin;
    while (line <= last) {
        char* nl = static_cast<char*>(std::memchr(line, '\n', static_cast<size_t>(last + 1 - line)));
        *nl = '\0';
        log_line(line);
        line = nl + 1;
    }
    end_of_flush();
    // Text after the last line end is the start of a line still being written.
    keep_from(line);
    return 0;
}

void SysLogStreamBuf::log_line(const char* line)
{
    ::syslog(mPriority, "%s", line);
}

ManagedSysLogStreamBuf::ManagedSysLogStreamBuf(int facility, int level)
    : ManagedSysLogStreamBuf(facility, level, syslogManager)
{
}

ManagedSysLogStreamBuf::ManagedSysLogStreamBuf(int facility, int level, SysLogManager& manager)
    : SysLogStreamBuf(facility, level, kManagedArea), mManager(manager)
{
}

void ManagedSysLogStreamBuf::log_line(const char* line)
{
    mManager.syslog(mPriority, "%s", line);
}

void ManagedSysLogStreamBuf::end_of_flush()
{
    mManager.sendmsg();
}

// -------------------------------------------------------- LogFileStreamBuf

LogFileStreamBuf::LogFileStreamBuf(const std::string& directory)
    : LogStreamBuf(0), mFile(new std::filebuf), mDirectory(directory)
{
    LogStreamBuf::setbuf(new char[kFileArea], kFileArea);
    NewFile();
    mMidLine = false;
}

void LogFileStreamBuf::NewFile()
{
    Mux::timeval tv;
    open_for(local_time(tv));
}

void LogFileStreamBuf::open_for(const std::tm& local)
{
    mFile->close();
    mHour = local.tm_hour;
    char stamp[64] = "";
    std::strftime(stamp, sizeof(stamp), "%Y_%m_%d-%H", &local);
    // Appended to, so a restart within the hour keeps the lines before it.
    mFile->open(Paths::resolve(mDirectory + "/" + stamp + ".log"), std::ios::out | std::ios::app);
}

void LogFileStreamBuf::write(const char* begin, const char* end)
{
    if (end > begin)
        mFile->sputn(begin, end - begin);
}

int LogFileStreamBuf::sync()
{
    char* p = pbase();
    if (!p)
        return 0;
    char* end = pptr();
    if (mMidLine) {
        char* nl = static_cast<char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (!nl) {
            write(p, end);
            keep_from(end);
            return 0;
        }
        write(p, nl + 1);
        mMidLine = false;
        p = nl + 1;
    }
    Mux::timeval tv;
    std::tm local = local_time(tv);
    if (local.tm_hour != mHour)
        open_for(local);
    char prefix[48];
    std::snprintf(prefix, sizeof(prefix), "%02d:%02d:%05ld: ", local.tm_min, local.tm_sec,
                  static_cast<long>(tv.usec));
    while (p < end) {
        write(prefix, prefix + std::strlen(prefix));
        char* nl = static_cast<char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (!nl) {
            write(p, end);
            mMidLine = true;
            keep_from(end);
            return 0;
        }
        write(p, nl + 1);
        p = nl + 1;
    }
    keep_from(end);
    // Whole lines reach the file at once, so a crash does not take the
    // last lines before it along.
    mFile->pubsync();
    return 0;
}
