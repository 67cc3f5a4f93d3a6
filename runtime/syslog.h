// The process's own client of the local system log daemon.
//
// Records are "<priority>" + local time + ident + ": " + text + NUL. The
// lines of one stream flush are collected and go out together at the end of
// the flush, each record in its own datagram (one sendmmsg call), since the
// log daemons of ordinary hosts do not split several records out of one
// datagram. Building and batching allocate nothing per line.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <syslog.h>

#include <cstdarg>
#include <cstddef>
#include <string>

class SysLogManager {
public:
    static constexpr unsigned kRecordSize = 1024;   // 1023 characters and the NUL
    static constexpr unsigned kBatchSize = 16384;   // bytes of waiting records
    static constexpr int kBatchRecords = 256;       // waiting records
    static constexpr unsigned kSendAbove = 12288;   // bytes that make a batch go out at once

    SysLogManager();
    ~SysLogManager();
    SysLogManager(const SysLogManager&) = delete;
    SysLogManager& operator=(const SysLogManager&) = delete;

    // LOG_PID, LOG_CONS, LOG_NDELAY and LOG_PERROR are honoured. A null
    // ident keeps the current one; facility 0 keeps the default facility.
    void openlog(const char* ident, int options, int facility);
    // Closes the socket and returns to the defaults, dropping waiting records.
    void closelog();
    // Builds one record and adds it to the batch (sent at once when full).
    void syslog(int priority, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Sends the waiting records. A failed send reconnects and resends what
    // had not gone out, once; then the batch is dropped. Bytes sent, or -1.
    int sendmsg();

    int fd() const { return mFd; }
    bool connected() const { return mConnected; }
    int type() const { return mType; }

private:
    void openlog_internal(const char* ident, int options, int facility);
    void closelog_internal();
    void syslog_internal(int priority, const char* format, va_list args);
    int sendmsg_internal(const void* record, unsigned int length);

    size_t append(size_t pos, const char* format, ...) __attribute__((format(printf, 3, 4)));
    size_t vappend(size_t pos, const char* format, va_list args) __attribute__((format(printf, 3, 0)));
    void copy_to_stderr(size_t from, size_t end) const;
    void copy_to_console(size_t from) const;
    int send_waiting();
    void drop_batch();

    int mType;
    int mFd = -1;
    bool mConnected = false;
    int mOptions = 0;
    std::string mIdent;
    int mFacility = LOG_USER;
    int mMask = 0xff;
    sockaddr_un mAddress;
    char mRecord[kRecordSize];
    char mBatch[kBatchSize];
    unsigned int mBatchBytes = 0;
    mmsghdr mMessages[kBatchRecords];
    iovec mIov[kBatchRecords];
    int mIovCount = 0;
    // Records of the batch already delivered (a resend starts after them).
    int mSent = 0;
};

extern SysLogManager syslogManager;
