// Basic error correction of the SS7 link while in service (Q.703 5):
// message signal units wait in the transmission buffer, are numbered and
// kept in the retransmission buffer until acknowledged; received units
// are judged by their sequence numbers and indicator bits.
#include <iostream>

#include "runtime/ext.h"
#include "signalling/ss7_slc.h"

namespace SS7 {

bool SLC::message(InServiceState&, Packet& p)
{
    bool taken = put_to_tb(p);
    process_tb();
    return taken;
}

bool SLC::put_to_tb(Packet& p)
{
    if (mTb.count() < kTbLimit && mTb.put(p))
        return true;
    mStats.overflowCntr++;
    std::cerr << ext::header(this) << "no space in TB buffer," << " TB=" << mTb.count() << " RTB=" << mRtbCount
              << " ignoring msu: " << p.text() << std::endl;
    return false;
}

void SLC::process_tb()
{
    if (mState != &mInService)
        return;
    if (mTb.empty()) {
        fisu();
        return;
    }
    while (mRtbCount < kWindow && !mTb.empty()) {
        SeqNo previous = mFsnToSend;
        mFsnToSend = mRtbLast + SeqNo(1);
        Packet p;
        mTb.preview(&p);
        if (!send(p)) {
            // Q.703 5.2.1: the FSN names the last MSU sent; one that never
            // left must not be announced by the FISUs sent meanwhile.
            mFsnToSend = previous;
            return;
        }
        mTb.get(p);
        mRtbLast = mFsnToSend;
        mRtb[mRtbLast] = p;
        // T7 supervises acknowledgement progress (Q.703 5.3.1): it starts
        // with the first MSU outstanding. A retransmission sends MSUs that
        // were outstanding already, under the T7 (or T6) that runs.
        if (++mRtbCount == 1 && !mTimer.pending())
            arm(T7);
    }
}

void SLC::make_expected()
{
    mLastAccepted = mBsnToSend;
    mExpectedFib = mBibToSend;
    mFibSent = mFibToSend;
}

// Q.703 5.2.2, 5.3: a FISU acknowledges, and announces the peer's last
// FSN, so a gap shows on a FISU as well.
void SLC::fisu(InServiceState&)
{
    make_expected();
    if (mFibR == mExpectedFib) {
        mNackOutstanding = mBadFib = false;
        if (process_bsnr() && mFsnR != mLastAccepted)
            nack();
    } else if (mNackOutstanding) {
        process_bsnr();
    } else {
        bad_fib();
    }
}

void SLC::msu(InServiceState&, Packet& p)
{
    make_expected();
    if (mFsnR == mLastAccepted) {
        // Q.703 5.2.2 i): a repeat is discarded as it stands.
        if (traces.msu_processing)
            std::clog << ext::header(this) << "discard msu due to 5.2.2/i Q.702" << " fsnr=" << mFsnR
                      << " fsnx=" << mLastAccepted << std::endl;
        return;
    }
    if (mFibR != mExpectedFib) {
        if (mNackOutstanding)
            process_bsnr();
        else
            bad_fib();
        return;
    }
    mNackOutstanding = mBadFib = false;
    if (!process_bsnr())
        return;
    if (mFsnR != mLastAccepted + SeqNo(1)) {
        if (traces.msu_processing)
            std::clog << ext::header(this) << "discard msu due to 5.2.2/ii Q.702" << " fsnr=" << mFsnR
                      << " fsnx=" << mLastAccepted << std::endl;
        nack();
        return;
    }
    ack();
    if (traces.mtp_receive) {
        std::clog << ext::header(this) << " mtp rx";
        for (int i = 0; i < p.length(); ++i)
            std::clog << ' ' << ext::OutUnsignedInHex(p[i]);
        std::clog << std::endl;
    }
    on_message(p);
}

// An unexpected FIB with no negative acknowledgement outstanding: the
// first is tolerated, the second takes the link out of service
// (Q.703 5.3.2).
void SLC::bad_fib()
{
    if (!mBadFib) {
        mBadFib = true;
        return;
    }
    if (traces.msu_processing)
        std::cerr << ext::header(this) << "bad start of a retransmission: " << DumpPtr{this} << std::endl;
    next_state(mIdle);
}

void SLC::ack()
{
    mBsnToSend = mFsnR;
    if (traces.msu_processing)
        std::cerr << ext::header(this) << "ack!" << std::endl;
    fisu();
}

void SLC::nack()
{
    mBibToSend ^= 1;
    mExpectedFib = mBibToSend;
    mNackOutstanding = true;
    fisu();
    mStats.badSeqCntr++;
    if (traces.msu_processing)
        std::cerr << ext::header(this) << "nack!" << std::endl;
}

// Q.703 5.3: the received BSN acknowledges every MSU up to it, and a BIB
// unlike our FIB asks for a retransmission. False when the link left
// service over it.
bool SLC::process_bsnr()
{
    SeqNo lastAcked = mRtbFirst - SeqNo(1);
    if (!(lastAcked <= mBsnR <= mRtbLast)) {
        if (!mBadBsn) {
            mBadBsn = true;
            return true;
        }
        if (traces.msu_processing)
            std::cerr << ext::header(this) << "bad su acknowledgement received: " << DumpPtr{this} << std::endl;
        next_state(mIdle);
        return false;
    }
    mBadBsn = false;
    bool progress = mBsnR + SeqNo(1) != mRtbFirst;
    for (; mRtbFirst != mBsnR + SeqNo(1); ++mRtbFirst) {
        mRtb[mRtbFirst] = Packet();
        --mRtbCount;
    }
    // An acknowledgement, positive or negative, also ends remote
    // congestion (Q.703 9.3): T6 gives way to T7.
    bool nacked = mBibR != mFibSent;
    if (mRtbCount == 0)
        mTimer.reset();
    else if (progress || (nacked && running(T6)))
        arm(T7);
    if (nacked)
        retransmit();
    else if (progress && !mTb.empty())
        process_tb(); // the window opened for MSUs that wait
    return true;
}

void SLC::retransmit()
{
    if (traces.msu_processing)
        std::cerr << ext::header(this) << "retransmit" << " rtb=" << mRtbCount << std::endl;
    mStats.repeatCntr++;
    mFsnToSend = mRtbFirst - SeqNo(1);
    mFibToSend = mBibR;
    for (SeqNo i = mRtbLast; mRtbCount > 0; --i, --mRtbCount) {
        mTb.append(mRtb[i]);
        mRtb[i] = Packet();
    }
    mRtbLast = mRtbFirst - SeqNo(1);
    process_tb();
}

} // namespace SS7
