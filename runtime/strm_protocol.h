// The lowest layer over a connected stream socket: each readable event
// becomes one chunk passed up (no framing); each message is written
// synchronously, waiting at most 1000 ms in all for the socket to drain.
// Any socket trouble closes the socket and sends an error up the stack.
// With gathering on, the messages that the loop's handlers write in one pass
// leave together in one send, from a DPC that runs after the handlers and
// before the loop waits again; the budget then covers that send.
#pragma once

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
    // The whole budget of one message while the send buffer is full.
    static const int write_budget_ms = 1000;

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
    // Reads may take the pool's reserve (the controller link's own).
    void use_reserve(bool on) { mUseReserve = on; }
    int fd() const { return mFd.get(); }

    int sendbuf_space() const;
    int recvbuf_space() const;
    int inq_space() const;
    int outq_space() const;
    int free_space() const;

    void PutHeader(std::ostream& out) const;
    // The read event's handler: errors first, then data, then a hang-up.
    void on_event(int fd, short revents);

    const std::string strm_name = "StrmProtocol";
    const Protocol_name_str protocol_name{"StrmProtocol"};
    std::string service_name;
    Measure read_measure;
    Measure write_measure;
    // Writes that failed (error or time-out).
    uint32_t overflow = 0;
    // Readable events left unread because the packet pool was empty.
    uint32_t nobuf = 0;

private:
    void init();
    // True when the event was used up: data passed up or the layer ended.
    bool do_read();
    void on_error(const std::string& text);
    bool write_out(const uint8_t* pos, const uint8_t* end);
    // Sends what was gathered; false when the layer ended.
    bool flush();
    void on_flush();
    void write_failed(int err);
    void put_figures(std::ostream& out) const;

    Fd mFd;
    // This system's TIOCOUTQ reports free room rather than queued bytes.
    bool mOutqReportsFree = false;
    Event mRead;
    bool mGather = false;
    bool mUseReserve = false;
    std::vector<uint8_t> mOut;
    Dpc mFlush;
};
