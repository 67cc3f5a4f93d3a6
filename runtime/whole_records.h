// The rule of an outlet that must never make its writer wait (the log
// socket, the console): records reach the reader whole or not at all.
//
// Where the outlet took only the start of a record, the rest goes on
// first, before anything else, or every later record would be cut. Records
// that could not go out are counted, and the next time records go out, a
// report ahead of them says how many were lost.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <string>

class WholeRecords {
public:
    // room: the longest rest a record may leave, kept without allocating.
    explicit WholeRecords(size_t room);

    // Records lost since the last report of losses went out.
    unsigned long dropped() const { return mDropped; }
    void drop(unsigned long records = 1) { mDropped += records; }
    // Whether anything goes before the next record: a rest or a report.
    bool owing() const { return !mRest.empty() || mDropped > 0; }

    // The outlet took sent bytes of a record of length: the rest is owed.
    void cut(const char* record, size_t length, size_t sent) { keep(record + sent, length - sent, 0); }
    // More of the record whose start the outlet has: owed after the rest.
    void owe(const char* more, size_t length) { mRest.append(more, length); }
    // The outlet went (a reconnection): the record it took the start of
    // is lost, and a report cut short gives its count back.
    void outlet_gone();
    // Forgets the rest and the losses.
    void clear();

    // Sends what is owed: the rest first, then the report, which report
    // writes into its string for a count. send(data, length) is the
    // outlet's: bytes taken, or -1 with errno. 1 when the outlet may take
    // more, 0 when it is full, -1 when it failed.
    template <class Send, class Report>
    int send_owed(Send&& send, Report&& report)
    {
        int ready = send_rest(send);
        if (ready <= 0 || mDropped == 0)
            return ready;
        report(mReport, mDropped);
        ssize_t sent = send(mReport.data(), mReport.size());
        if (sent < 0)
            return would_block(errno) ? 0 : -1;
        keep(mReport.data() + sent, mReport.size() - static_cast<size_t>(sent), mDropped);
        mDropped = 0;
        return mRest.empty() ? 1 : 0;
    }

    static bool would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

private:
    template <class Send>
    int send_rest(Send& send)
    {
        if (mRest.empty())
            return 1;
        ssize_t sent = send(mRest.data(), mRest.size());
        if (sent < 0)
            return would_block(errno) ? 0 : -1;
        mRest.erase(0, static_cast<size_t>(sent));
        if (mRest.empty())
            mRestReported = 0;
        return mRest.empty() ? 1 : 0;
    }
    // reported: the count a cut report carries (0 for a record).
    void keep(const char* rest, size_t length, unsigned long reported);

    std::string mRest;
    unsigned long mRestReported = 0;
    unsigned long mDropped = 0;
    std::string mReport;
};
