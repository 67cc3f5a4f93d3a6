#include "runtime/tpkt_protocol.h"

#include <cstring>
#include <iostream>
#include <new>

#include "runtime/ext.h"
#include "runtime/packet_quota.h"
#include "runtime/profile.h"

Tpkt_protocol::~Tpkt_protocol()
{
    if (mAlive)
        *mAlive = false;
}

void Tpkt_protocol::PutHeader(std::ostream& out) const
{
    if (service_name.empty())
        out << name().name();
    else
        out << service_name;
}

void Tpkt_protocol::reset()
{
    mTimer.reset();
    mFrame.release();
    mState = receive_idle;
    mLength = 0;
    ++mEpoch;
    report_skipped();
}

void Tpkt_protocol::local_deactivate()
{
    reset();
    on_deactivate(new Protocol_status_success(this, "TPKT deactivated"));
}

void Tpkt_protocol::on_timeout(Timer*)
{
    std::clog << ext::header(this) << " TPKT packet timeout." << std::endl;
    reset();
}

bool Tpkt_protocol::message(Packet& p)
{
    static Profile::Point point("Tpkt_protocol::message");
    point.begin();
    unsigned len = static_cast<unsigned>(p.length());
    if (len > max_payload) {
        point.end();
        std::cerr << ext::header(this) << " TPKT payload of " << len << " bytes over " << max_payload
                  << ", not sent" << std::endl;
        return false;
    }
    p.push16_b(static_cast<uint16_t>(len + header_size));
    p.push(0x00);
    p.push(0x03);
    point.end();
    return transmit(p);
}

void Tpkt_protocol::receive(Packet& chunk)
{
    const _Packet* c = chunk.get();
    if (!c)
        return;
    // The chunk is read in place; each payload byte is copied once, into
    // the frame.
    const uint8_t* pos = c->data;
    const uint8_t* end = c->tail;
    while (pos < end) {
        if (mState != receive_body) {
            // An empty payload is complete with its header.
            if (receive_byte(*pos++) && !deliver())
                return;
            continue;
        }
        uint32_t n = static_cast<uint32_t>(end - pos);
        if (n > mLength)
            n = mLength;
        if (mFrame) {
            std::memcpy(mFrame->tail, pos, n);
            mFrame->tail += n;
        }
        pos += n;
        mLength -= n;
        if (mLength == 0) {
            if (!mFrame)
                mState = receive_idle; // dropped for want of a buffer
            else if (!deliver())
                return;
        }
    }
    if (mState == receive_idle)
        mTimer.reset();
    else
        mTimer.set(frame_timeout_ms, &Tpkt_protocol::on_timeout, this);
}

bool Tpkt_protocol::receive_byte(uint8_t b)
{
    switch (mState) {
    case receive_idle:
        if (b == 0x03)
            mState = receive_wait_r;
        else
            skip(" bad TPKT packet start.", 1);
        break;
    case receive_wait_r:
        if (b == 0x00) {
            mState = receive_len_1;
        } else {
            skip(" bad TPKT reserved.", 2);
            mState = receive_idle;
        }
        break;
    case receive_len_1:
        mLength = b;
        mState = receive_len_2;
        break;
    case receive_len_2:
        mLength = mLength * 256 + b;
        return header_done();
    case receive_body:
        break;
    }
    return false;
}

bool Tpkt_protocol::header_done()
{
    if (mLength < header_size) {
        skip(" TPKT too small " + std::to_string(mLength), header_size);
        mLength = 0;
        mState = receive_idle;
        return false;
    }
    report_skipped();
    mLength -= header_size;
    take_buffer();
    mState = mLength ? receive_body : receive_idle;
    return mLength == 0 && mFrame;
}

void Tpkt_protocol::take_buffer()
{
    mFrame.release();
    try {
        PacketQuota::ReserveAccess access(mUseReserve);
        mFrame.reserve_head(0);
    } catch (const std::bad_alloc&) {
        // The frame's bytes are still read, and thrown away, so the stream
        // stays in step; one line per run of dropped frames.
        ++dropped;
        if (!mStarved)
            std::cerr << ext::header(this) << " TPKT frame dropped: packet pool empty, dropped=" << dropped
                      << std::endl;
        mStarved = true;
        return;
    }
    if (mStarved) {
        mStarved = false;
        std::clog << ext::header(this) << " TPKT frames flow again, dropped=" << dropped << std::endl;
    }
}

bool Tpkt_protocol::deliver()
{
    Packet frame = std::move(mFrame);
    mState = receive_idle;
    uint32_t epoch = mEpoch;
    bool alive = true;
    bool* outer = mAlive;
    mAlive = &alive;
    on_message(frame);
    if (!alive) {
        if (outer)
            *outer = false;
        return false;
    }
    mAlive = outer;
    return epoch == mEpoch;
}

void Tpkt_protocol::skip(const std::string& what, unsigned bytes)
{
    if (mSkipped == 0)
        mSkipWhat = what;
    mSkipped += bytes;
}

void Tpkt_protocol::report_skipped()
{
    if (mSkipped == 0)
        return;
    std::clog << ext::header(this) << mSkipWhat << " skipped=" << mSkipped << std::endl;
    mSkipped = 0;
}
