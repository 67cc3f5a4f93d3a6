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

size_t vappend(char* record, size_t pos, const char* format, va_list args) __attribute__((format(printf, 3, 0)));
size_t vappend(char* record, size_t pos, const char* format, va_list args)
{
    const size_t size = SysLogManager::kRecordSize;
    if (pos >= size - 1)
        return pos;
    int n = std::vsnprintf(record + pos, size - pos, format, args);
    if (n < 0) {
        record[pos] = '\0';
        return pos;
    }
    return std::min(pos + static_cast<size_t>(n), size - 1);
}

size_t append(char* record, size_t pos, const char* format, ...) __attribute__((format(printf, 3, 4)));
size_t append(char* record, size_t pos, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    pos = vappend(record, pos, format, args);
    va_end(args);
    return pos;
}

// Our own sends never wait for the daemon.
const int kSendFlags = MSG_NOSIGNAL | MSG_DONTWAIT;
} // namespace

SysLogManager::SysLogManager() : mType(SOCK_DGRAM), mIdent(kDefaultIdent), mOwed(kRecordSize)
{
    std::memset(&mAddress, 0, sizeof(mAddress));
    std::memset(mMessages, 0, sizeof(mMessages));
    mRecord[0] = '\0';
    mReport[0] = '\0';
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
    mOwed.clear();
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
            // Non-blocking while connecting: a stream daemon that never
            // accepts refuses at once instead of holding the start-up.
            if (mOptions & LOG_NDELAY) {
                mFd = ::socket(AF_UNIX, mType | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
                if (mFd < 0)
                    return;
            }
        }
        if (mFd < 0 || mConnected)
            return;
        if (::connect(mFd, reinterpret_cast<const sockaddr*>(&mAddress), sizeof(mAddress)) == 0) {
            // Then blocking again for whoever inherits it as descriptor 1 or
            // 2 (children write there as before); our own sends say
            // MSG_DONTWAIT.
            int flags = ::fcntl(mFd, F_GETFL);
            if (flags >= 0)
                ::fcntl(mFd, F_SETFL, flags & ~O_NONBLOCK);
            mConnected = true;
            if (mRedirectStdio)
                redirect_stdio();
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

void SysLogManager::redirect_stdio()
{
    mRedirectStdio = true;
    // Children started from now on inherit the live connection; the old
    // one goes once no child holds it.
    if (mConnected && mFd > STDERR_FILENO) {
        ::dup2(mFd, STDOUT_FILENO);
        ::dup2(mFd, STDERR_FILENO);
    }
}

void SysLogManager::closelog_internal()
{
    if (mFd >= 0)
        ::close(mFd);
    mFd = -1;
    mConnected = false;
    // The rest of a record cut short belongs to the connection that took
    // its start.
    mOwed.outlet_gone();
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

size_t SysLogManager::build_head(char* into, int priority, size_t& identStart)
{
    into[0] = '\0';
    size_t n = append(into, 0, "<%d>", priority);
    time_t now = Mux::seconds();
    struct tm local;
    char stamp[64] = "";
    if (::localtime_r(&now, &local))
        ::strftime(stamp, sizeof(stamp), "%h %e %T ", &local);
    n = append(into, n, "%s", stamp);
    identStart = n;
    if (!mIdent.empty())
        n = append(into, n, "%s", mIdent.c_str());
    if (mOptions & LOG_PID)
        n = append(into, n, "[%d]", static_cast<int>(::getpid()));
    if (!mIdent.empty())
        n = append(into, n, ": ");
    return n;
}

void SysLogManager::syslog_internal(int priority, const char* format, va_list args)
{
    if (!(mMask & LOG_MASK(LOG_PRI(priority))))
        return;
    if ((priority & LOG_FACMASK) == 0)
        priority |= mFacility;
    mLastFacility = priority & LOG_FACMASK;

    size_t identStart = 0;
    size_t n = vappend(mRecord, build_head(mRecord, priority, identStart), format, args);

    if (mOptions & LOG_PERROR)
        copy_to_stderr(identStart, n);
    if (!mConnected)
        openlog_internal(nullptr, mOptions | LOG_NDELAY, 0);
    // The NUL goes out with the record: it ends the record on a stream socket.
    if (!mConnected)
        mOwed.drop(); // no daemon to take it
    else if (sendmsg_internal(mRecord, static_cast<unsigned>(n + 1)) >= 0)
        return;
    // No daemon, or a send that failed after its one reconnection: the
    // record is lost.
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
        if (r < 0) {
            mOwed.drop(); // the socket failed: nothing to add it to
            return r;
        }
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

ssize_t SysLogManager::send_now(const char* data, size_t length)
{
    ssize_t n;
    do
        n = mSend(mFd, data, length, kSendFlags);
    while (n < 0 && errno == EINTR);
    return n;
}

int SysLogManager::send_waiting()
{
    auto send = [this](const char* data, size_t length) { return send_now(data, length); };
    auto report = [this](std::string& into, unsigned long count) {
        size_t identStart = 0;
        size_t n = build_head(mReport, mLastFacility | LOG_WARNING, identStart);
        n = append(mReport, n, "%lu log records dropped: the system log did not take them", count);
        into.assign(mReport, n + 1);
    };
    int ready = mOwed.send_owed(send, report);
    if (ready <= 0)
        return ready;
    return mType == SOCK_STREAM ? send_stream() : send_datagrams();
}

// The waiting records lie back to back in the batch: one send, and the
// record the socket took part of is the tail.
int SysLogManager::send_stream()
{
    if (mSent >= mIovCount)
        return 0;
    const char* from = static_cast<const char*>(mIov[mSent].iov_base);
    ssize_t n = send_now(from, static_cast<size_t>(mBatch + mBatchBytes - from));
    if (n < 0)
        return WholeRecords::would_block(errno) ? 0 : -1;
    size_t taken = static_cast<size_t>(n);
    while (mSent < mIovCount && taken >= mIov[mSent].iov_len)
        taken -= mIov[mSent++].iov_len;
    if (taken > 0) {
        const iovec& cut = mIov[mSent++];
        mOwed.cut(static_cast<const char*>(cut.iov_base), cut.iov_len, taken);
    }
    return static_cast<int>(n);
}

int SysLogManager::send_datagrams()
{
    int bytes = 0;
    for (int i = mSent; i < mIovCount; ++i) {
        std::memset(&mMessages[i], 0, sizeof(mMessages[i]));
        mMessages[i].msg_hdr.msg_iov = &mIov[i];
        mMessages[i].msg_hdr.msg_iovlen = 1;
    }
    while (mSent < mIovCount) {
        int n = ::sendmmsg(mFd, mMessages + mSent, static_cast<unsigned>(mIovCount - mSent), kSendFlags);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // A full socket drops the rest (the caller counts them).
            return WholeRecords::would_block(errno) ? bytes : -1;
        }
        for (int k = 0; k < n; ++k)
            bytes += static_cast<int>(mMessages[mSent++].msg_len);
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
    mOwed.drop(static_cast<unsigned long>(mIovCount - mSent));
    drop_batch();
    return r;
}

void SysLogManager::drop_batch()
{
    mBatchBytes = 0;
    mIovCount = 0;
    mSent = 0;
}
