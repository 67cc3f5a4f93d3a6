// The process's own client of the local system log daemon.
//
// Records are "<priority>" + local time + ident + ": " + text + NUL. The
// lines of one stream flush are collected and go out together at the end of
// the flush, each record in its own datagram (one sendmmsg call), since the
// log daemons of ordinary hosts do not split several records out of one
// datagram. Building and batching allocate nothing per line.
//
// The socket never makes its writer wait: a log daemon that stops reading
// must not freeze the loop, nor keep a SIGTERM from ending the process.
// Records the socket cannot take at once (or that find no daemon) are
// dropped and counted; the next time records go out, one record ahead of
// them says how many were lost.
//
// A stream daemon gets the waiting records as one run of bytes; where the
// socket is full the record it holds the start of goes on first at the
// next send, so every record arrives whole. A reconnection loses that rest
// (the new daemon never saw its start): the record is counted as dropped.
//
// In daemon mode the socket is also the standard output and error of the
// process, and of a child that inherits them, who write to it as to any
// descriptor: it stays blocking for them (our own sends say MSG_DONTWAIT),
// and every new connection takes the place of the old one there. The
// helper programs the server starts write into a pipe of the loop instead
// (runtime/child_output.h).
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <syslog.h>

#include <cstdarg>
#include <cstddef>
#include <string>

#include "runtime/whole_records.h"

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
    // Descriptors 1 and 2 name the socket, now and after every reconnection.
    void redirect_stdio();

    int fd() const { return mFd; }
    bool connected() const { return mConnected; }
    int type() const { return mType; }
    // Records lost since the last report of losses went out.
    unsigned long dropped() const { return mOwed.dropped(); }

    // For tests: what hands bytes to the socket in place of send(2). A
    // stream socket of this kernel takes a short run of bytes whole or not
    // at all; other kernels may take part of a record or a report.
    typedef ssize_t (*SendCall)(int fd, const void* data, size_t length, int flags);
    void set_send_call(SendCall call) { mSend = call; }

private:
    void openlog_internal(const char* ident, int options, int facility);
    void closelog_internal();
    void syslog_internal(int priority, const char* format, va_list args);
    int sendmsg_internal(const void* record, unsigned int length);

    // A record's start, up to its message, into `into`: its length.
    // identStart is where the part from the ident on begins.
    size_t build_head(char* into, int priority, size_t& identStart);
    void copy_to_stderr(size_t from, size_t end) const;
    void copy_to_console(size_t from) const;
    // Bytes sent, -1 when the socket failed. Records it cannot take now
    // stay unsent (the caller counts them as dropped).
    int send_waiting();
    int send_datagrams();
    int send_stream();
    ssize_t send_now(const char* data, size_t length);
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
    // The facility of the last record, for the report of losses.
    int mLastFacility = LOG_USER;
    char mReport[kRecordSize];
    // A stream socket's cut record, and the records lost.
    WholeRecords mOwed;
    bool mRedirectStdio = false;
    SendCall mSend = ::send;
};

extern SysLogManager syslogManager;
