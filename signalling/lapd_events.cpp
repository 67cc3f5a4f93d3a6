// Received frames, one handler per frame kind, each deciding by state
// (Q.921 Annex B SDL, states 3 to 7). Frames that a state does not expect
// are ignored unless an MDL error is listed for them.
#include <iostream>

#include "runtime/ext.h"
#include "signalling/lapd.h"

namespace ISDN {

void LAPD::trace_frame(const char* what, const Received& f, bool withPf) const
{
    if (!traces(3))
        return;
    std::clog << ext::header(this) << what << (f.command ? "command" : "response");
    if (withPf)
        std::clog << " pf=" << f.pf;
    std::clog << std::endl;
}

// Messages queued while the link was down go out now, not only when the
// next one is queued.
void LAPD::link_up()
{
    if (!outQueue.empty())
        QueuedUp = true;
    on_activate();
}

void LAPD::on_sabme(const Received& f)
{
    trace_frame("SABME ", f, false);
    reset_sequence();
    switch (state) {
    case kTeiAssigned:
        tx_cmd_resp(kUA, f.pf, false);
        clear_exceptions();
        start(T203);
        set_state(kMultipleFrameEstablished);
        link_up();
        break;
    case kAwaitingEstablishment:
        tx_cmd_resp(kUA, f.pf, false);
        break;
    case kAwaitingRelease:
        tx_cmd_resp(kDM, f.pf, false);
        break;
    case kMultipleFrameEstablished:
    case kTimerRecovery:
        tx_cmd_resp(kUA, f.pf, false);
        clear_exceptions();
        on_error(kPeerReestablish);
        set_state(kMultipleFrameEstablished);
        link_up();
        stop(T200);
        start(T203);
        break;
    default:
        break;
    }
}

void LAPD::on_disc(const Received& f)
{
    trace_frame("DISC ", f, false);
    switch (state) {
    case kTeiAssigned:
    case kAwaitingEstablishment:
        tx_cmd_resp(kDM, f.pf, false);
        break;
    case kAwaitingRelease:
        tx_cmd_resp(kUA, f.pf, false);
        break;
    case kMultipleFrameEstablished:
    case kTimerRecovery:
        discard_queues();
        tx_cmd_resp(kUA, f.pf, false);
        stop(T200);
        stop(T203);
        set_state(kTeiAssigned);
        deactivated("remote error (DISC received)", false);
        break;
    default:
        break;
    }
}

// Only a UA that answers our SABME or DISC resets the numbering; an
// unsolicited one (Q.921 5.8.7) is reported and changes nothing, so frames
// waiting for acknowledgement are not lost while the link stays up.
void LAPD::on_ua(const Received& f)
{
    trace_frame("UA ", f, false);
    if (state != kAwaitingEstablishment && state != kAwaitingRelease) {
        if (state >= kTeiAssigned)
            on_error(f.pf ? kUaF1 : kUaF0);
        return;
    }
    reset_sequence();
    if (!f.pf) {
        on_error(kUaF0);
        return;
    }
    if (state == kAwaitingEstablishment) {
        set_state(kMultipleFrameEstablished);
        stop(T200);
        start(T203);
        link_up();
    } else {
        stop(T200);
        set_state(kTeiAssigned);
        deactivated("success (UA received)", true);
    }
}

void LAPD::on_dm(const Received& f)
{
    trace_frame("DM ", f, false);
    static const char* const kText = "error (DM received)";
    bool finalResponse = !f.command && f.pf;
    switch (state) {
    case kTeiAssigned:
        if (!f.command && !f.pf) {
            establish();
            L3Initiated = true;
            set_state(kAwaitingEstablishment);
        }
        break;
    case kAwaitingEstablishment:
    case kAwaitingRelease:
        if (finalResponse) {
            if (state == kAwaitingEstablishment)
                discard_queues();
            stop(T200);
            set_state(kTeiAssigned);
            deactivated(kText, false);
        }
        break;
    case kMultipleFrameEstablished:
    case kTimerRecovery:
        if (finalResponse && state == kMultipleFrameEstablished) {
            on_error(kDmF1);
            break;
        }
        on_error(finalResponse ? kDmF1 : kDmF0);
        establish();
        L3Initiated = false;
        set_state(kAwaitingEstablishment);
        break;
    default:
        break;
    }
}

void LAPD::on_frmr(const Received& f)
{
    trace_frame("FRMR ", f, true);
    if (state != kMultipleFrameEstablished && state != kTimerRecovery)
        return;
    on_error(kFrmr);
    establish();
    L3Initiated = false;
    set_state(kAwaitingEstablishment);
}

// Timer recovery (Q.921 5.6.7): only a response with F = 1 ends it; other
// supervisory frames just acknowledge.
void LAPD::on_peer_response_recovery(const Received& f, bool restartT203)
{
    if (f.command && f.pf)
        enquiry_response();
    if (!nr_valid(f.nr)) {
        if (f.command || !f.pf) {
            if (traces(3))
                std::clog << ext::header(this) << "receive RR with out of order N(R)" << std::endl;
        }
        ++stats.badConfirm;
        nr_error_recovery();
        set_state(kAwaitingEstablishment);
        return;
    }
    if (!f.command && f.pf) {
        if (restartT203) {
            stop(T200);
            start(T203);
        } else {
            start(T200);
        }
        retransmit_from(f.nr);
        set_state(kMultipleFrameEstablished);
    } else {
        VA = f.nr;
    }
}

// What RR, RNR and REJ share (Q.921 5.6.3, 5.6.4): the trace, the peer's
// busy state, timer recovery, the answer to an enquiry and the N(R) check.
// False when the frame needs nothing more.
bool LAPD::supervisory(const Received& f, SFrame kind)
{
    static const char* const names[] = {"RR ", "RNR ", "REJ "};
    bool busy = kind == SFrame::rnr;
    bool acknowledges = kind != SFrame::rnr;
    trace_frame(names[static_cast<int>(kind)], f, true);
    if (state == kTimerRecovery) {
        peerBusy = busy;
        on_peer_response_recovery(f, acknowledges);
        return false;
    }
    if (state != kMultipleFrameEstablished)
        return false;
    peerBusy = busy;
    if (f.pf) {
        if (f.command)
            enquiry_response();
        else if (kind != SFrame::rr)
            on_error(kSupervisoryF1);
        else if (traces(3))
            std::clog << ext::header(this) << "receive RR (solicited response) in MFE_EST" << std::endl;
    }
    if (!nr_valid(f.nr)) {
        ++stats.badConfirm;
        nr_error_recovery();
        set_state(kAwaitingEstablishment);
        return false;
    }
    return true;
}

void LAPD::on_rr(const Received& f)
{
    if (!supervisory(f, SFrame::rr))
        return;
    if (f.nr == VS) {
        VA = f.nr;
        stop(T200);
        start(T203);
    } else if (f.nr != VA) {
        VA = f.nr;
        start(T200);
    }
}

void LAPD::on_rnr(const Received& f)
{
    if (!supervisory(f, SFrame::rnr))
        return;
    VA = f.nr;
    stop(T203);
    start(T200);
}

void LAPD::on_rej(const Received& f)
{
    if (!supervisory(f, SFrame::rej))
        return;
    stop(T200);
    start(T203);
    retransmit_from(f.nr);
}

// Q.921 5.6.2: an I frame in sequence goes up; out of sequence it is
// dropped with one REJ per exception condition. N(R) acknowledges in both
// cases. The information field goes up last, once this frame has been
// fully handled, so that a layer above that sends or releases from its
// callback finds the link consistent.
void LAPD::on_iframe(const Received& f, Packet& info)
{
    if (traces(3))
        std::clog << ext::header(this) << "I-Command" << " pf=" << f.pf << std::endl;
    if (state != kMultipleFrameEstablished && state != kTimerRecovery)
        return;
    bool inSequence = f.ns == VR;
    if (!inSequence) {
        ++stats.rejected;
        if (!RejectException) {
            RejectException = true;
            tx_cmd_resp(kREJ, f.pf, false);
            AckRQ = false;
        } else if (f.pf) {
            tx_cmd_resp(kRR, true, false);
            AckRQ = false;
        }
    } else {
        ++VR;
        RejectException = false;
        ++stats.rx;
        if (f.pf) {
            AckRQ = false;
            tx_cmd_resp(kRR, true, false);
        } else {
            AckRQ = true;
        }
    }
    on_iframe_nr(f.nr);
    if (inSequence)
        on_message(info);
}

void LAPD::on_iframe_nr(Sequence nr)
{
    if (!nr_valid(nr)) {
        ++stats.badConfirm;
        nr_error_recovery();
        set_state(kAwaitingEstablishment);
        return;
    }
    if (state == kMultipleFrameEstablished && !peerBusy) {
        if (nr == VS) {
            stop(T200);
            start(T203);
        } else if (nr != VA) {
            start(T200);
        }
    }
    VA = nr;
}

} // namespace ISDN
