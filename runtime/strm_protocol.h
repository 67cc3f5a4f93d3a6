// The lowest layer over a connected stream socket: each readable event
// becomes one chunk passed up (no framing). A message is written at once as
// far as the socket takes it; the rest waits in the stream's output queue and
// leaves as the socket drains, so no write ever waits in the loop. A peer
// that lets its queue grow past the bound, or takes nothing for the write
// budget (neither from the queue nor from what its socket holds), is
// dropped with one line. The queue's memory goes back when it empties
// (but for a small queue's) and when its peer goes. Any socket trouble
// closes the socket and sends an error up the stack.
// With gathering on, the messages that the loop's handlers write in one pass
// leave together in one send, from a DPC that runs after the handlers and
// before the loop waits again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "runtime/fd.h"
#include "runtime/multiplexer.h"
#include "runtime/protocol.h"
#include "runtime/timer.h"

class StrmProtocol : public Protocol {
public:
    // How long a peer may take nothing of what waits for it.
    static const int write_budget_ms = 1000;
    // What may wait for a peer beyond what its socket holds: far above
    // what a reading peer leaves behind, and the most memory one stalled
    // peer's queue may hold.
    static const size_t out_bound_default = size_t(4) << 20;
    // What an emptied queue keeps of its memory while its peer stays.
    static constexpr size_t kept_bytes = size_t(64) << 10;

    StrmProtocol();
    explicit StrmProtocol(Fd fd);
    ~StrmProtocol() override;

    void local_prepare_head(Packet& p) override { p.reserve_head(0); }
    void local_prepare_tail(Packet& p) override { p.reserve_tail(0); }
    void local_activate() override;
    void local_deactivate() override;
    bool message(Packet& p) override;

    // Takes a duplicate of the socket (closing the one held so far).
    void attach(Fd fd);
    // Stops watching the socket and closes it.
    void release();
    bool attached() const { return static_cast<bool>(mFd); }
    void gather(bool on) { mGather = on; }
    void out_bound(size_t bytes) { mOutBound = bytes; }
    // Bytes written to the stream that the socket has not taken yet.
    size_t queued() const { return mOut.size() - mOutHead; }
    // Memory the output queue holds: at most the bound, and kept_bytes
    // once emptied.
    size_t held() const { return mOut.capacity(); }
    // The most it held at once, a message being copied in included.
    size_t held_most() const { return mHeldMost; }
    // Reads may take the pool's reserve (the controller link's own).
    void use_reserve(bool on) { mUseReserve = on; }
    int fd() const { return mFd.get(); }

    int sendbuf_space() const;
    int recvbuf_space() const;
    int inq_space() const;
    int outq_space() const;
    int free_space() const;

    void PutHeader(std::ostream& out) const;
    // The socket's handler: errors first, then output, data, a hang-up.
    void on_event(int fd, short revents);

    const std::string strm_name = "StrmProtocol";
    const Protocol_name_str protocol_name{"StrmProtocol"};
    std::string service_name;
    Measure read_measure;
    Measure write_measure;
    // Writes that failed (error, time-out or a queue past its bound).
    uint32_t overflow = 0;
    // Readable events left unread because the packet pool was empty.
    uint32_t nobuf = 0;

private:
    void init();
    // True when the event was used up: data passed up or the layer ended.
    bool do_read();
    void on_error(const std::string& text);
    // Sends as much as the socket takes now; false when the layer ended.
    bool write_some(const uint8_t*& pos, const uint8_t* end);
    // Queues what the socket did not take; false when the layer ended.
    bool enqueue(const uint8_t* pos, const uint8_t* end);
    // Sends from the queue; false when the layer ended. took: the socket
    // took bytes.
    bool send_queue(bool& took);
    // Sends from the queue and then as waiting(); false when the layer ended.
    bool drain();
    // After a send: the budget starts again when bytes left, and the
    // socket is watched for room while any wait.
    void waiting(bool progressed);
    // An empty queue, and its memory given back.
    void give_back();
    // Bytes the socket holds that the peer has not taken yet (-1 unknown).
    int unsent() const;
    void on_flush();
    void on_stall(Timer*);
    // err 0 with what: the peer broke a rule of the queue; more: bytes of
    // a message that were not queued.
    void write_failed(int err, const char* what = "write timeout", size_t more = 0);
    void put_figures(std::ostream& out) const;

    Fd mFd;
    // This system's TIOCOUTQ reports free room rather than queued bytes.
    bool mOutqReportsFree = false;
    Event mRead;
    bool mGather = false;
    bool mUseReserve = false;
    // The output queue: its bytes from mOutHead on wait for the socket.
    std::vector<uint8_t> mOut;
    size_t mOutHead = 0;
    size_t mOutBound = out_bound_default;
    size_t mHeldMost = 0;
    // Runs while bytes wait; a send that took bytes starts it again, and so
    // does, when it runs out, a socket that holds less than it did.
    Timer mStall;
    // What the socket held unsent when the budget started.
    int mUnsent = -1;
    Dpc mFlush;
};
