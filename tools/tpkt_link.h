// What the two TPKT trace listeners share: the listening socket, the
// accepted peer, the framed send, and the reading of TPKT frames (RFC 1006,
// section 6) from one non-blocking peer socket.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "runtime/fd.h"
#include "runtime/inet4_addr.h"
#include "runtime/multiplexer.h"

namespace TpktLink {

const unsigned header_size = 4;
// Bytes read from one peer per readiness at most: a peer that never stops
// sending must not hold the loop's timers and other descriptors.
const unsigned bytes_per_readiness = 16 * 1024;
// The 16-bit length counts the header too.
const unsigned max_payload = 0xFFFF - header_size;

// A TCP socket bound to any address and port, listening with a backlog of
// 1, non-blocking and close-on-exec; invalid when a step failed.
Fd OpenListener(unsigned short port);

// Listens on port, the listener calling handler.
template <class T>
bool Listen(Event& listener, unsigned short port, const char* name, void (T::*handler)(int, short), T* owner)
{
    Fd s = OpenListener(port);
    if (!s)
        return false;
    listener.Bind(name, handler, owner);
    listener.Schedule(s, POLLIN);
    return true;
}

// The next pending peer, non-blocking and close-on-exec, with its address,
// logged after opening; invalid when there is none (or accept failed).
Fd AcceptPeer(int listenFd, INet4::Addr& peer, const char* opening);

// The line of a peer that was accepted but could not be watched.
void Unwatched(const INet4::Addr& peer);

// One frame, header and payload in one sendmsg that raises no SIGPIPE.
// -EMSGSIZE (nothing sent) when the payload cannot be framed, -errno when
// sendmsg failed, else the bytes written (a short count is a failure too).
ssize_t SendFrame(int fd, const void* data, unsigned size);

// One peer: its socket watcher and the frame being reassembled.
class Connection {
public:
    enum State { payload = 0, header = 1 };
    enum Result {
        idle,    // everything waiting was read, or as much as one readiness reads
        close,   // end of stream, error or protocol error: close the peer
        stopped, // the receiver closed the peer while a frame was delivered
    };

    explicit Connection(unsigned capacity) : buffer(capacity) {}
    virtual ~Connection() = default;

    // Reads while data waits, up to bytes_per_readiness (the rest is read
    // at the next readiness), handing every complete frame to Deliver. A
    // hang-up or error reported by poll closes the peer only once nothing
    // is left to read, so the last frame of a peer that closed still counts.
    Result Read(short revents);
    // False when the loop cannot watch it (no descriptor for the copy).
    template <class T>
    bool Watch(const Fd& socket, const char* name, void (T::*handler)(int, short), T* owner)
    {
        event.Bind(name, handler, owner);
        return event.Schedule(socket, POLLIN);
    }

    State state = header;
    unsigned expected = header_size;
    unsigned received = 0;
    Event event;
    std::vector<uint8_t> buffer;

protected:
    // Hands over one payload; false when the connection is gone afterwards.
    virtual bool Deliver(const uint8_t* payload, unsigned length) = 0;

private:
    // False on a protocol error.
    bool HeaderDone();

    uint8_t mHeader[header_size] = {};
};

// The position of the connection watching fd in a list of owned
// connections, or the list's end.
template <class List>
typename List::iterator FindBySocket(List& connections, int fd)
{
    for (auto it = connections.begin(); it != connections.end(); ++it)
        if ((*it)->event.fd.get() == fd)
            return it;
    return connections.end();
}

} // namespace TpktLink
