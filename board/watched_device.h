// A board descriptor that the loop watches, its data or event records read
// by the one rule for every such descriptor (poll_end and read_end): the
// handler reads what waits and learns whether the descriptor is over, and
// then stops watching it in that same call.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <iostream>

#include "board/device.h"
#include "runtime/ext.h"

namespace Device {

// At most this many reads in one wake-up: a driver that never runs dry
// cannot keep the loop in one handler. What is left is read on the next
// pass (the descriptor is still readable).
constexpr unsigned kReadsPerPass = 64;

// The short records of one descriptor, dropped: the first of a run is a
// line, the others are counted, and their count is a line when the run
// ends (a whole record comes, or the descriptor ends), so a driver that
// keeps giving them costs two lines, not one a read.
class ShortRecords {
public:
    template <class Owner>
    void dropped(const Owner* owner, const char* name, ssize_t n)
    {
        if (mRun) {
            ++mMore;
            return;
        }
        mRun = true;
        std::cerr << ext::header(owner) << "short " << name << " record of " << n << " bytes dropped" << std::endl;
    }
    template <class Owner>
    void end(const Owner* owner, const char* name)
    {
        if (mMore > 0)
            std::cerr << ext::header(owner) << mMore << " more short " << name << " record(s) dropped" << std::endl;
        mRun = false;
        mMore = 0;
    }

private:
    bool mRun = false;
    unsigned long mMore = 0;
};

// Every reader of a watched descriptor: on input, makes read() (a read's
// result, errno as the read left it) until the driver has nothing more or
// `reads` reads were made, handing each count read to take(n). Returns the
// descriptor's end, if it is over. A descriptor left with data to read is
// not over yet, whatever the poll said; EAGAIN and EINTR leave the rest to
// the next pass, so no driver can hold the loop with them. After the last
// read's take() nothing is touched, so with one read a wake-up take() may
// end or destroy the reader.
template <class Read, class Take>
End read_input(short revents, unsigned reads, Read read, Take take)
{
    if (!(revents & POLLIN))
        return poll_end(revents);
    for (unsigned i = 0; i < reads; ++i) {
        ssize_t n = read();
        int err = errno;
        if (n <= 0) {
            End end = read_end(n, err);
            return end ? end : poll_end(revents);
        }
        take(n);
    }
    return End();
}

// On input, reads records of `size` bytes into `record` until the driver
// has no more (or kReadsPerPass reads were made), calling take() for each
// whole one; a short record is dropped (see ShortRecords) and the reading
// goes on. Returns the descriptor's end, if it is over.
template <class Owner, class Take>
End read_records(const Owner* owner, const char* name, int fd, short revents, void* record, size_t size,
                      ShortRecords& shorts, Take take)
{
    End end = read_input(revents, kReadsPerPass, [&] { return read(fd, record, size); }, [&](ssize_t n) {
        if (n != static_cast<ssize_t>(size)) {
            shorts.dropped(owner, name, n);
            return;
        }
        shorts.end(owner, name);
        take();
    });
    if (end)
        shorts.end(owner, name);
    return end;
}

} // namespace Device
