// TPKT framing (RFC 1006, section 6): a 4-byte header, version 3, a
// reserved 0 and the big-endian length of the whole frame, in front of
// every message. Upwards, frames are reassembled from chunks of any size;
// a frame still incomplete 3000 ms after its last chunk is dropped.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "runtime/protocol.h"
#include "runtime/timer.h"

class Tpkt_protocol : public Protocol {
public:
    enum State {
        receive_idle = 0,
        receive_wait_r = 1,
        receive_len_1 = 2,
        receive_len_2 = 3,
        receive_body = 4,
    };

    static const unsigned header_size = 4;
    // The 16-bit length counts the header too.
    static const unsigned max_payload = 0xFFFF - header_size;
    static const unsigned frame_timeout_ms = 3000;

    Tpkt_protocol() = default;
    ~Tpkt_protocol() override;

    void local_prepare_head(Packet& p) override { p.reserve_head(header_size); }
    void local_prepare_tail(Packet& p) override { p.reserve_tail(0); }
    void local_activate() override { reset(); }
    void local_deactivate() override;
    // False, with an error line, for a payload over max_payload.
    bool message(Packet& p) override;
    void receive(Packet& chunk) override;

    void reset();
    // Frames may take the pool's reserve (the controller link's own).
    void use_reserve(bool on) { mUseReserve = on; }
    void on_timeout(Timer*);
    void next_state(State s) { mState = s; }
    State state() const { return mState; }

    // The owner's name for the link when it gave one, else the layer's.
    void PutHeader(std::ostream& out) const;

    const Protocol_name_str protocol_name{"TPKT"};
    // Set by the owner, so that a link's lines say whose they are.
    std::string service_name;
    // Frames dropped because the packet pool was empty.
    uint32_t dropped = 0;

private:
    // True when the byte completed a frame with an empty payload.
    bool receive_byte(uint8_t b);
    bool header_done();
    void take_buffer();
    // Passes the finished frame up; false when the layer was reset or
    // destroyed meanwhile and the rest of the chunk must be left alone.
    bool deliver();
    void skip(const std::string& what, unsigned bytes);
    void report_skipped();

    uint32_t mLength = 0;
    Timer mTimer;
    State mState = receive_idle;
    Packet mFrame;
    // Bytes thrown away since the stream was last in step, and the fault
    // that started the run: one log line per resynchronisation.
    uint32_t mSkipped = 0;
    std::string mSkipWhat;
    // Inside a run of frames dropped for want of a buffer.
    bool mStarved = false;
    bool mUseReserve = false;
    uint32_t mEpoch = 0;
    bool* mAlive = nullptr;
};
