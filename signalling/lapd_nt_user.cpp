// The network side's link towards one terminal: a small Q.921 peer that
// establishes multiple-frame operation itself, keeps a window of 7 I
// frames for retransmission (Q.921 5.6), polls an idle terminal and gives
// up a terminal that stops answering.
#include <iostream>
#include <new>

#include "runtime/ext.h"
#include "signalling/lapd_nt.h"

namespace ISDN {

namespace {
enum : uint8_t {
    kRR = 0x01,
    kRNR = 0x05,
    kREJ = 0x09,
    kSABME = 0x6F,
    kDM = 0x0F,
    kDISC = 0x43,
    kUA = 0x63,
    kFRMR = 0x87,
    kXID = 0xAF,
};
constexpr uint8_t kReleaseComplete = 0x5A; // Q.931 message type
} // namespace

void LAPD_NT_user::PutHeader(std::ostream& out) const
{
    out << "LAPD_user(NT BRI)[";
    if (mState == kUnassigned) {
        out << "unassigned]:";
        return;
    }
    out << "Tei=" << unsigned(mTei) << (mState == kAssigned ? ",assigned" : ",wait_answer");
    if (mChecking)
        out << ",check";
    if (busy)
        out << ",busy";
    out << "]";
}

void LAPD_NT_user::trace(const char* text) const
{
    if (traces())
        std::clog << ext::header(this) << text << std::endl;
}

void LAPD_NT_user::set_state(State s, unsigned ms)
{
    if (s == kWaitAnswer && mState != kWaitAnswer)
        RC = 0;
    mState = s;
    linkTimer.set(ms, &LAPD_NT_user::on_timer, this);
}

// Nothing could send these again: one line says how many went, so that
// the loss shows.
void LAPD_NT_user::discard(const char* why, bool unsent)
{
    report_drops();
    unsigned notSent = unsent ? outQueue.count() : 0;
    unsigned notAcked = ackQueue.count();
    if (notSent + notAcked > 0)
        std::cerr << ext::header(this) << ": " << why << ", " << notSent + notAcked << " message(s) dropped ("
                  << notSent << " not sent, " << notAcked << " not acknowledged)" << std::endl;
    if (unsent)
        outQueue.clear();
    ackQueue.clear();
}

// ------------------------------------------------------------ TEI life

void LAPD_NT_user::assign()
{
    if (mChecking && assigned()) {
        trace("checked");
        mChecking = false;
        checkTimer.reset();
        return;
    }
    trace("assigned");
    vr = va = vs = 0;
    rejected = false;
    mState = kAssigned;
    tx_U(kSABME, true, true);
    busy = false;
    ackPending = false;
    mChecking = false;
    checkTimer.reset();
    discard("assigned", true);
    callCount = 0; // calls of an earlier holder of this TEI
    RC = 0;
    linkTimer.set(kPollTime, &LAPD_NT_user::on_timer, this);
}

// The queues go at once: nothing could be sent from them again, and eight
// idle links must not hold the packet pool.
void LAPD_NT_user::unassign()
{
    trace("unassigned");
    discard("unassigned", true);
    mState = kUnassigned;
    linkTimer.reset();
    checkTimer.reset();
    mChecking = false;
    ackPending = false;
}

void LAPD_NT_user::checking()
{
    if (!assigned())
        return;
    trace("checking started");
    mChecking = true;
    checkTimer.set(kCheckTime, &LAPD_NT_user::on_check_timer, this);
}

// No answer to the check nor to its repetition: the TEI is free again,
// and the terminal that may still think it holds it is told so.
void LAPD_NT_user::on_check_timer()
{
    trace("not checked, removed");
    unassign();
    if (owner)
        owner->remove_twice(mTei);
}

// ------------------------------------------------------------- frames out

void LAPD_NT_user::send_new(Packet& frame)
{
    if (owner)
        owner->send_to_layer1(frame);
}

void LAPD_NT_user::tx_U(uint8_t code, bool pf, bool command)
{
    tx_frame(static_cast<uint8_t>(code | (pf ? 0x10 : 0)), -1, command);
}

void LAPD_NT_user::tx_S(uint8_t code, bool pf, bool command)
{
    if (code == kRR || code == kRNR)
        ackPending = false;
    tx_frame(code, int(unsigned(vr) << 1 | pf), command);
}

// Octet 1: SAPI 0 with the C/R bit of the network side; octet 4 only for
// S frames (octet4 >= 0).
void LAPD_NT_user::tx_frame(uint8_t control, int octet4, bool command)
{
    Packet frame;
    try {
        owner->prepare_head(frame);
        frame.put(command ? 0x02 : 0x00);
        frame.put(static_cast<uint8_t>(mTei << 1 | 1));
        frame.put(control);
        if (octet4 >= 0)
            frame.put(static_cast<uint8_t>(octet4));
    } catch (const std::bad_alloc&) {
        return;
    }
    send_new(frame);
}

// Every I frame is a command with P = 1 and carries the current V(R). The
// message itself stays bare in its queue: pushing onto a shared buffer
// copies it.
bool LAPD_NT_user::tx_I(Packet& message, Seq ns)
{
    Packet frame;
    try {
        frame = owner->framing(message, 4);
        frame.push(static_cast<uint8_t>(unsigned(vr) << 1 | 1));
        frame.push(static_cast<uint8_t>(unsigned(ns) << 1));
        frame.push(static_cast<uint8_t>(mTei << 1 | 1));
        frame.push(0x02);
    } catch (const std::bad_alloc&) {
        return false;
    }
    ackPending = false;
    send_new(frame);
    return true;
}

// ----------------------------------------------------------- frames in

void LAPD_NT_user::receive(Packet& frame, bool cr)
{
    const Packet& in = frame;
    if (in.length() < 1)
        return;
    uint8_t control = in[0];
    bool command = !cr;
    if ((control & 3) == 3) {
        on_unnumbered(control & 0xEF, command, (control & 0x10) != 0);
        return;
    }
    if (in.length() < 2)
        return;
    Seq nr = in[1] >> 1;
    bool pf = in[1] & 1;
    if ((control & 1) == 0) {
        if (!command)
            return;
        frame.pull();
        frame.pull();
        on_iframe(frame, pf, control >> 1, nr);
        return;
    }
    if (control == kRR || control == kRNR || control == kREJ)
        on_supervisory(control, command, pf, nr);
}

void LAPD_NT_user::on_iframe(Packet& info, bool pf, Seq ns, Seq nr)
{
    trace("received I frame");
    if (ns == vr) {
        ++vr;
        if (pf)
            tx_S(kRR, true, false);
        else
            ackPending = true;
        if (info.length() <= 3) {
            if (ackPending)
                tx_S(kRR, false, false);
            return;
        }
        learn_call(info);
        owner->send_to_layer3(info);
        if (!assigned()) // the layer above gave the link up meanwhile
            return;
        rejected = false;
    } else if (!rejected) {
        tx_S(kREJ, pf, false);
        rejected = true;
    } else if (pf) {
        // One REJ per sequence error (Q.921 5.6.2.1): answering every
        // frame of a window with REJ makes the terminal resend the window
        // once per REJ, and each resend brings more REJs.
        tx_S(kRR, true, false);
    }
    Seq before = va;
    if (!ack_queue(nr)) {
        unassign();
        return;
    }
    acknowledged(nr != before);
    // No I frame took the acknowledgement along (Q.921 5.6.2.1).
    if (ackPending)
        tx_S(kRR, false, false);
}

void LAPD_NT_user::on_supervisory(uint8_t code, bool command, bool pf, Seq nr)
{
    trace(code == kRR ? "received RR frame" : code == kRNR ? "received RNR frame" : "received REJ frame");
    if (code == kRNR) {
        if (!busy)
            trace("set busy");
        busy = true;
    }
    if (command && pf)
        tx_S(kRR, true, false);
    Seq before = va;
    if (!ack_queue(nr)) {
        unassign();
        return;
    }
    if (code == kREJ) {
        retransmit(); // from N(R), the first frame the terminal lacks
        set_unbusy();
        acknowledged(true);
        return;
    }
    if (code == kRR)
        set_unbusy();
    acknowledged(nr != before);
}

void LAPD_NT_user::on_unnumbered(uint8_t code, bool command, bool pf)
{
    switch (code) {
    case kSABME:
        if (!command)
            return;
        trace("received SABME frame");
        vr = va = vs = 0;
        rejected = false;
        if (pf)
            tx_U(kUA, true, false);
        discard("link reset by the terminal", false);
        set_unbusy();
        acknowledged(false);
        break;
    case kDM:
        if (command)
            return;
        trace("received DM frame");
        unassign();
        break;
    case kDISC:
        if (!command)
            return;
        trace("received DISC frame");
        if (pf)
            tx_U(kUA, true, false);
        unassign();
        break;
    case kFRMR:
        if (command)
            return;
        trace("received FRMR frame");
        unassign();
        break;
    case kXID: trace("received XID frame"); break;
    default: break;
    }
}

// --------------------------------------------------------------- window

// Accepts V(A) <= N(R) <= V(S) only; the frames before N(R) leave the
// queue, which always holds exactly the frames V(A) .. V(S) - 1.
bool LAPD_NT_user::ack_queue(Seq nr)
{
    trace("ack queue");
    if (!((va <= nr) <= vs))
        return false;
    Packet p;
    for (unsigned n = unsigned(nr - va); n > 0; --n)
        ackQueue.get(&p);
    va = nr;
    return true;
}

// After an accepted acknowledgement: the window may let waiting messages
// go; the answer timer runs while frames are outstanding, else the poll
// timer. A repeated N(R) leaves a running answer timer alone.
void LAPD_NT_user::acknowledged(bool progress)
{
    bool sent = pump();
    if (ackQueue.empty())
        set_state(kAssigned, kPollTime);
    else if (sent || progress || mState != kWaitAnswer) {
        RC = 0;
        set_state(kWaitAnswer, kAnswerTime);
    }
}

void LAPD_NT_user::set_unbusy()
{
    if (busy)
        trace("set unbusy");
    busy = false;
}

bool LAPD_NT_user::pump()
{
    bool sent = false;
    Packet p;
    while (!busy && ackQueue.count() < kWindow && outQueue.get(&p)) {
        tx_I(p, vs);
        ackQueue.put(p);
        ++vs;
        sent = true;
    }
    if (sent)
        report_drops();
    return sent;
}

void LAPD_NT_user::retransmit()
{
    trace("retransmit queue");
    Packet p;
    Seq ns = va;
    for (unsigned n = ackQueue.count(); n > 0; --n, ++ns) {
        ackQueue.get(&p);
        tx_I(p, ns);
        ackQueue.put(p);
    }
}

void LAPD_NT_user::on_timer()
{
    switch (mState) {
    case kAssigned:
        set_state(kWaitAnswer, kAnswerTime);
        tx_S(kRR, true, true);
        break;
    case kWaitAnswer:
        if (RC == kN200) {
            trace("T200 expiried N200 times");
            unassign();
            return;
        }
        ++RC;
        linkTimer.set(kAnswerTime, &LAPD_NT_user::on_timer, this);
        if (ackQueue.empty())
            tx_S(kRR, true, true);
        else
            retransmit();
        break;
    default: break;
    }
}

// ---------------------------------------------------------------- layer 3

// A run lasts while the queue only grows: it ends when the queue moves
// again or is emptied, so a long busy spell is one line, not one a
// message.
void LAPD_NT_user::report_drops()
{
    if (dropped == 0)
        return;
    std::cerr << ext::header(this) << ": out queue full, " << dropped << " oldest message(s) dropped" << std::endl;
    dropped = 0;
}

bool LAPD_NT_user::holds_call(uint8_t cr) const
{
    for (unsigned i = 0; i < callCount; ++i)
        if (calls[i] == cr)
            return true;
    return false;
}

void LAPD_NT_user::forget_call(uint8_t cr)
{
    unsigned kept = 0;
    for (unsigned i = 0; i < callCount; ++i)
        if (calls[i] != cr)
            calls[kept++] = calls[i];
    callCount = kept;
}

// The call reference value without its flag (Q.931 4.3), newest last.
void LAPD_NT_user::learn_call(const Packet& info)
{
    uint8_t cr = info[2] & 0x7F;
    forget_call(cr);
    if (info[3] == kReleaseComplete)
        return;
    if (callCount == kCalls)
        forget_call(calls[0]);
    calls[callCount++] = cr;
}

bool LAPD_NT_user::message(Packet& p)
{
    const Packet& in = p;
    if (!assigned() || in.length() <= 3 || !holds_call(in[2] & 0x7F))
        return false;
    bool ended = in[3] == kReleaseComplete;
    if (busy || !outQueue.empty() || ackQueue.count() >= kWindow) {
        Packet oldest;
        if (outQueue.count() >= kOutLimit && outQueue.get(&oldest) && dropped++ == 0)
            std::cerr << ext::header(this) << ": out queue full, dropping the oldest messages" << std::endl;
        outQueue.put(p);
    } else {
        tx_I(p, vs);
        ackQueue.put(p);
        ++vs;
        set_state(kWaitAnswer, kAnswerTime);
    }
    if (ended)
        forget_call(in[2] & 0x7F);
    return true;
}

} // namespace ISDN
