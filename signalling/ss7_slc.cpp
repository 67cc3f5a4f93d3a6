// Link state control and signal-unit framing of the SS7 link: initial
// alignment (Q.703 7), the unit format (Q.703 2.2, 2.3) and the way into
// and out of service.
#include "signalling/ss7_slc.h"

#include <iostream>
#include <new>

#include "runtime/ext.h"
#include "runtime/mux_time.h"

namespace SS7 {

const SLC::TimerRecord SLC::T1 = {&SLC::on_T1, 45000};
const SLC::TimerRecord SLC::T2 = {&SLC::on_T2, 7000};
const SLC::TimerRecord SLC::T3 = {&SLC::on_T3, 1500};
const SLC::TimerRecord SLC::T4n = {&SLC::on_T4, 8200};
const SLC::TimerRecord SLC::T4e = {&SLC::on_T4, 500};
const SLC::TimerRecord SLC::T5 = {&SLC::on_T5, 100};
const SLC::TimerRecord SLC::T6 = {&SLC::on_T6, 4500};
const SLC::TimerRecord SLC::T7 = {&SLC::on_T7, 12000};

namespace {

// Each octet as a blank and its value in hexadecimal.
struct Octets {
    const Packet& p;
};

std::ostream& operator<<(std::ostream& out, const Octets& o)
{
    for (int i = 0; i < o.p.length(); ++i)
        out << ' ' << ext::OutUnsignedInHex(o.p[i]);
    return out;
}

} // namespace

SLC::SLC() : mState(&mIdle), mLastCongestion(Mux::milliseconds()) {}

SLC::~SLC() = default;

// ------------------------------------------------------------- requests

void SLC::local_activate()
{
    if (mState == &mIdle) {
        if (traces.mtp_activate)
            std::clog << ext::header(this) << "local_activate: executing..." << std::endl;
        next_state(mNotAligned);
        return;
    }
    if (traces.mtp_activate)
        std::clog << ext::header(this) << "local_activate: ignored." << std::endl;
    if (mState == &mInService)
        on_activate();
}

void SLC::local_deactivate()
{
    if (traces.mtp_activate)
        std::clog << ext::header(this) << "local_deactivate()" << std::endl;
    next_state(mIdle);
}

bool SLC::message(Packet& p)
{
    if (traces.mtp_transmit)
        std::clog << ext::header(this) << " mtp tx" << Octets{p} << std::endl;
    // An MSU holds a service information octet and at least two octets of
    // signalling information (Q.703 2.3.3): anything shorter would reach
    // the peer as a FISU or an LSSU.
    if (p.length() < 3) {
        std::cerr << ext::header(this) << "fail to send msu (bad packet)" << std::endl;
        return false;
    }
    return mState->message(*this, p);
}

void SLC::OnTrunkHardStatus(bool up)
{
    if (up || mState == &mIdle)
        return;
    std::clog << ext::header(this) << " transport OFF by low level terminated" << std::endl;
    next_state(mIdle);
}

// The channel is closed: nothing more is heard or sent, so the link is
// out of service as on any other failure, and says so.
void SLC::on_hdlc_error(HDLC::Notify::Cause::Type cause)
{
    std::clog << ext::header(this) << "hdlc error [cause=" << static_cast<int>(cause) << "]" << std::endl;
    if (mState != &mIdle)
        next_state(mIdle);
}

void SLC::on_hdlc_ready()
{
    std::clog << ext::header(this) << "hdlc ready" << std::endl;
    if (mLssuOwed)
        lssu(mOwedLssu);
    process_tb();
}

// -------------------------------------------------------------- receive

void SLC::receive(Packet& p)
{
    if (traces.raw_receive)
        std::clog << ext::header(this) << " rx raw" << Octets{p} << std::endl;
    mStats.octetsRx += static_cast<uint32_t>(p.length());
    if (p.length() < 3) {
        std::cerr << ext::header(this) << "ignore packet, length too small " << p.text() << std::endl;
        return;
    }
    uint8_t b = p.pull();
    uint8_t f = p.pull();
    // The two upper bits of the length indicator are spare (Q.703 2.3.3).
    unsigned li = p.pull() & 0x3f;
    unsigned rest = static_cast<unsigned>(p.length());
    mStats.msuRxCount++;
    // A unit whose length indicator disagrees with its length is damaged
    // (Q.703 2.3.5): it is neither cut nor padded into a valid one.
    if (li < 63 ? li != rest : rest < 63) {
        std::cerr << ext::header(this) << "invalid packet length," << " expected = " << li
                  << ", received = " << rest << std::endl;
        return;
    }
    mBsnR = b & 0x7f;
    mBibR = b >> 7;
    mFsnR = f & 0x7f;
    mFibR = f >> 7;
    mLi = rest;
    if (rest == 0)
        mState->fisu(*this);
    else if (rest <= 2)
        mState->lssu(*this, indication(p[0]));
    else
        mState->msu(*this, p);
}

// The status is the three low bits of the status field's first octet;
// the five above are spare and ignored (Q.703 11.1.3). Values 6 and 7 are
// no status the link knows.
SLC::Indication SLC::indication(uint8_t status)
{
    return static_cast<Indication>(status & kStatusBits);
}

// ----------------------------------------------------------------- send

void SLC::pool_empty(const char* what)
{
    if (!mPoolEmpty)
        std::cerr << ext::header(this) << "packet pool empty, " << what << " not sent" << std::endl;
    mPoolEmpty = true;
}

bool SLC::send(Packet p)
{
    if (!hdlc) {
        std::clog << ext::header(this) << "no HDLC interface attached!!!" << std::endl;
        return false;
    }
    unsigned length = static_cast<unsigned>(p.length());
    try {
        if (p.null() || p->_headroom() < 3) {
            // A payload without room for the header travels in a buffer
            // of its own.
            Packet room;
            room.reserve_head(3);
            room.put(p);
            p = room;
        }
        p.push(static_cast<uint8_t>(length < 63 ? length : 63));
        p.push(static_cast<uint8_t>(mFibToSend << 7 | mFsnToSend));
        p.push(static_cast<uint8_t>(mBibToSend << 7 | mBsnToSend));
    } catch (const std::bad_alloc&) {
        pool_empty(length ? "msu" : "fisu");
        return false;
    }
    mPoolEmpty = false;
    if (!hdlc->hdlc_transmit(p)) {
        if (traces.raw_transmit)
            std::clog << ext::header(this) << " tx full!" << std::endl;
        return false;
    }
    if (traces.raw_transmit)
        std::clog << ext::header(this) << " tx raw" << Octets{p} << std::endl;
    mStats.msuTxCount++;
    mStats.octetsTx += static_cast<uint32_t>(p.length());
    return true;
}

bool SLC::send_msu(Packet& p)
{
    if (p.length() > 0)
        return send(p);
    if (traces.msu_processing)
        std::cerr << ext::header(this) << "fail to send msu (bad packet)" << std::endl;
    return false;
}

void SLC::fisu()
{
    Packet p;
    try {
        prepare_head(p);
    } catch (const std::bad_alloc&) {
        pool_empty("fisu");
        return;
    }
    send(p);
}

void SLC::lssu(Indication i)
{
    mLssuOwed = true;
    mOwedLssu = i;
    if (!hdlc)
        return;
    // Every LSSU goes out with all sequence bits set, whatever the state.
    Packet p;
    try {
        p.reserve_tail(4);
        p.put(0xff);
        p.put(0xff);
        p.put(0x01);
        p.put(static_cast<uint8_t>(i));
    } catch (const std::bad_alloc&) {
        pool_empty("lssu");
        return;
    }
    mPoolEmpty = false;
    mLssuOwed = !hdlc->hdlc_transmit(p);
}

// ---------------------------------------------------------------- state

void SLC::next_state(State& s)
{
    if (traces.state) {
        PutShortInfo(std::clog);
        std::clog << ": " << "change state from " << ext::quoted(*mState) << " to " << ext::quoted(s) << std::endl;
    }
    mState->on_leave(*this);
    // The old state's status is stale, whether or not it went out.
    mLssuOwed = false;
    mState = &s;
    mState->on_enter(*this);
}

void SLC::reset()
{
    clear_rtb();
    mNackOutstanding = mBadBsn = mBadFib = false;
    mBsnToSend = 127;
    mFsnToSend = 127;
    mBibToSend = 1;
    mFibToSend = 1;
}

void SLC::clear_rtb()
{
    for (SeqNo i = mRtbFirst; mRtbCount > 0 && i != mRtbLast + SeqNo(1); ++i)
        mRtb[i] = Packet();
    mRtbFirst = 0;
    mRtbLast = 127;
    mRtbCount = 0;
}

void SLC::on_leave(State&)
{
    mTimer.reset();
}

void SLC::on_enter(IdleState&)
{
    reset();
    sios();
    on_deactivate(new Protocol_status_error(this, "impossible phasing"));
}

void SLC::on_enter(NotAlignedState&)
{
    reset();
    arm(T2);
    sio();
}

void SLC::on_enter(AlignedState&)
{
    arm(T3);
    if (traces.timers)
        std::clog << ext::header(this) << "set T3" << std::endl;
    emergency ? sie() : sin();
}

void SLC::on_enter(ProvingState&)
{
    if (emergency) {
        arm(T4e);
        sie();
    } else {
        arm(T4n);
        sin();
    }
    if (traces.timers)
        std::clog << ext::header(this) << "set T4" << std::endl;
}

void SLC::on_enter(AlignedReadyState&)
{
    arm(T1);
    fisu();
}

void SLC::on_enter(InServiceState&)
{
    if (!mTb.empty()) {
        std::cerr << ext::header(this) << "discard " << mTb.count() << " msu in TB" << std::endl;
        mTb.clear();
    }
    reset();
    fisu();
    process_tb();
    on_activate();
}

// The alignment handshake (Q.703 7.3): SIO answers "out of alignment",
// SIN or SIE "aligned", and proving ends at the first FISU or MSU.
void SLC::lssu(IdleState&, Indication i)
{
    if (i == SIO)
        next_state(mAligned);
    else if (i == SIN || i == SIE)
        next_state(mProving);
}

void SLC::lssu(NotAlignedState&, Indication i)
{
    lssu(static_cast<IdleState&>(mIdle), i);
}

void SLC::lssu(AlignedState&, Indication i)
{
    if (i == SIN || i == SIE)
        next_state(mProving);
}

void SLC::lssu(ProvingState&, Indication i)
{
    if (i != SIN && i != SIE)
        next_state(mIdle);
}

void SLC::fisu(ProvingState&)
{
    next_state(mInService);
}

void SLC::msu(ProvingState&, Packet&)
{
    next_state(mInService);
}

// A busy far end (SIB, Q.703 9.3) keeps the link in service: T6 then
// watches the MSUs outstanding in T7's stead, and any acknowledgement ends
// it. With nothing outstanding there is nothing to wait for. Every other
// status, processor outage included, ends service.
void SLC::lssu(InServiceState&, Indication i)
{
    if (i == SIB) {
        if (mRtbCount > 0 && !running(T6)) {
            arm(T6);
            if (traces.timers)
                std::clog << ext::header(this) << "set T6" << std::endl;
        }
        return;
    }
    std::cerr << ext::header(this) << "receive lssu: " << i << " " << DumpPtr{this} << std::endl;
    next_state(mIdle);
}

// --------------------------------------------------------------- timers

void SLC::expired(const char* line, State& to)
{
    if (traces.timers)
        std::clog << ext::header(this) << line << std::endl;
    next_state(to);
}

void SLC::on_T1()
{
    expired("T1 expired", mIdle);
}

void SLC::on_T2()
{
    expired("T2 expired", mIdle);
}

void SLC::on_T3()
{
    expired("T3 expired", mIdle);
}

void SLC::on_T4()
{
    expired("T4 expired.", mAlignedReady);
}

void SLC::on_T6()
{
    expired("T6 expired", mIdle);
}

void SLC::on_T7()
{
    if (traces.timers)
        std::clog << ext::header(this) << "T7 expired: " << mRtbCount << " packets in RTB." << std::endl;
    next_state(mIdle);
}

} // namespace SS7
