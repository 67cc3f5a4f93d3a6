#include "runtime/syslog.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "runtime/mux_time.h"
#include "runtime/paths.h"

SysLogManager syslogManager;

namespace {
const char kSocketPath[] = "/dev/log";
const char kConsolePath[] = "/dev/console";
const char kDefaultIdent[] = "syslog-vd";
} // namespace

SysLogManager::SysLogManager() : mType(SOCK_DGRAM), mIdent(kDefaultIdent)
{
    std::memset(&mAddress, 0, sizeof(mAddress));
    std::memset(mMessages, 0, sizeof(mMessages));
    mRecord[0] = '\0';
}

SysLogManager::~SysLogManager()
{
    if (mFd >= 0)
        ::close(mFd);
}

void SysLogManager::openlog(const char* ident, int options, int facility)
{
    openlog_internal(ident, options, facility);
}

void SysLogManager::closelog()
{
    closelog_internal();
    mIdent = kDefaultIdent;
    mType = SOCK_DGRAM;
    drop_batch();
}

void SysLogManager::syslog(int priority, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    syslog_internal(priority, format, args);
    va_end(args);
}

void SysLogManager::openlog_internal(const char* ident, int options, int facility)
{
    if (ident)
        mIdent = ident;
    mOptions = options;
    if (facility != 0 && (facility & ~LOG_FACMASK) == 0)
        mFacility = facility;

    // A second attempt only after the daemon refused our socket type.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (mFd < 0) {
            std::memset(&mAddress, 0, sizeof(mAddress));
            mAddress.sun_family = AF_UNIX;
            std::string path = Paths::resolve(kSocketPath);
            std::strncpy(mAddress.sun_path, path.c_str(), sizeof(mAddress.sun_path) - 1);
            if (mOptions & LOG_NDELAY) {
                mFd = ::socket(AF_UNIX, mType | SOCK_CLOEXEC, 0);
                if (mFd < 0)
                    return;
            }
        }
        if (mFd < 0 || mConnected)
            return;
        if (::connect(mFd, reinterpret_cast<const sockaddr*>(&mAddress), sizeof(mAddress)) == 0) {
            mConnected = true;
            return;
        }
        int error = errno;
        ::close(mFd);
        mFd = -1;
        if (error != EPROTOTYPE)
            return;
        mType = mType == SOCK_DGRAM ? SOCK_STREAM : SOCK_DGRAM;
    }
}

void SysLogManager::closelog_internal()
{
    if (mFd >= 0)
        ::close(mFd);
    mFd = -1;
    mConnected = false;
}

size_t SysLogManager::vappend(size_t pos, const char* format, va_list args)
{
    if (pos >= kRecordSize - 1)
        return pos;
    int n = std::vsnprintf(mRecord + pos, kRecordSize - pos, format, args);
    if (n < 0) {
        mRecord[pos] = '\0';
        return pos;
    }
    return std::min(pos + static_cast<size_t>(n), static_cast<size_t>(kRecordSize - 1));
}

size_t SysLogManager::append(size_t pos, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    pos = vappend(pos, format, args);
    va_end(args);
    return pos;
}

void SysLogManager::copy_to_stderr(size_t from, size_t end) const
{
    iovec parts[2];
    parts[0].iov_base = const_cast<char*>(mRecord + from);
    parts[0].iov_len = end - from;
    parts[1].iov_base = const_cast<char*>("\n");
    parts[1].iov_len = 1;
    bool newline = end > from && mRecord[end - 1] == '\n';
    ssize_t ignored = ::writev(STDERR_FILENO, parts, newline ? 1 : 2);
    (void)ignored;
}

void SysLogManager::copy_to_console(size_t from) const
{
    int fd = ::open(Paths::resolve(kConsolePath).c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::dprintf(fd, "%s\r\n", mRecord + from);
    ::close(fd);
}

void SysLogManager::syslog_internal(int priority, const char* format, va_list args)
{
    if (!(mMask & LOG_MASK(LOG_PRI(priority))))
        return;
    if ((priority & LOG_FACMASK) == 0)
        priority |= mFacility;

    mRecord[0] = '\0';
    size_t n = append(0, "<%d>", priority);
    time_t now = Mux::seconds();
    struct tm local;
    char stamp[64] = "";
    if (::localtime_r(&now, &local))
        ::strftime(stamp, sizeof(stamp), "%h %e %T ", &local);
    n = append(n, "%s", stamp);
    size_t identStart = n;
    if (!mIdent.empty())
        n = append(n, "%s", mIdent.c_str());
    if (mOptions & LOG_PID)
        n = append(n, "[%d]", static_cast<int>(::getpid()));
    if (!mIdent.empty())
        n = append(n, ": ");
    n = vappend(n, format, args);

    if (mOptions & LOG_PERROR)
        copy_to_stderr(identStart, n);
    if (!mConnected)
        openlog_internal(nullptr, mOptions | LOG_NDELAY, 0);
    // The NUL goes out with the record: it ends the record on a stream socket.
    if (mConnected && sendmsg_internal(mRecord, static_cast<unsigned>(n + 1)) >= 0)
        return;
    // The send already reconnected and retried once: the record is lost.
    closelog_internal();
    if (mOptions & LOG_CONS)
        copy_to_console(identStart);
}

int SysLogManager::sendmsg_internal(const void* record, unsigned int length)
{
    if (!record || length == 0)
        return 0;
    if (mBatchBytes + length >= kBatchSize || mIovCount >= kBatchRecords) {
        // No room: send what waits first instead of losing the new record.
        int r = sendmsg();
        if (r < 0)
            return r;
    }
    char* slot = mBatch + mBatchBytes;
    std::memcpy(slot, record, length);
    mIov[mIovCount].iov_base = slot;
    mIov[mIovCount].iov_len = length;
    ++mIovCount;
    mBatchBytes += length;
    if (mIovCount >= kBatchRecords || mBatchBytes > kSendAbove)
        return sendmsg();
    return 0;
}

int SysLogManager::send_waiting()
{
    int bytes = 0;
    for (int i = mSent; i < mIovCount; ++i) {
        std::memset(&mMessages[i], 0, sizeof(mMessages[i]));
        mMessages[i].msg_hdr.msg_iov = &mIov[i];
        mMessages[i].msg_hdr.msg_iovlen = 1;
    }
    while (mSent < mIovCount) {
        int n = ::sendmmsg(mFd, mMessages + mSent, static_cast<unsigned>(mIovCount - mSent), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        for (int k = 0; k < n; ++k) {
            iovec& part = mIov[mSent];
            unsigned sent = mMessages[mSent].msg_len;
            bytes += static_cast<int>(sent);
            if (sent < part.iov_len) {
                // A stream send cut short by a signal: the rest goes next.
                part.iov_base = static_cast<char*>(part.iov_base) + sent;
                part.iov_len -= sent;
                mMessages[mSent].msg_len = 0;
                break;
            }
            ++mSent;
        }
    }
    return bytes;
}

int SysLogManager::sendmsg()
{
    if (mBatchBytes == 0 || mIovCount == 0)
        return 0;
    int r = -1;
    if (mFd >= 0) {
        r = send_waiting();
        if (r < 0) {
            // The daemon may have restarted on a fresh socket: reconnect and
            // resend the records that did not go out, once.
            closelog_internal();
            openlog_internal(nullptr, mOptions | LOG_NDELAY, 0);
            if (mConnected)
                r = send_waiting();
            if (r < 0)
                closelog_internal();
        }
    }
    drop_batch();
    return r;
}

void SysLogManager::drop_batch()
{
    mBatchBytes = 0;
    mIovCount = 0;
    mSent = 0;
}
