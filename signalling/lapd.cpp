// The data link's requests from above and from management, its common
// procedures (Q.921 clause 5.5 to 5.7), its timers and its reports.
#include "signalling/lapd.h"

#include <cstdlib>
#include <iostream>

#include "runtime/ext.h"

namespace ISDN {

namespace {
const char* const kStateTexts[] = {
    "TEI unassigned",         "Assign awaiting TEI", "Establish awaiting TEI",     "TEI assigned",
    "Awaiting establishment", "Awaiting release",    "Multiple frame established", "Timer recovery",
};
const char* const kTimerNames[] = {"T200", "T202", "T203"};
} // namespace

const char* statetext(unsigned state)
{
    return state < 8 ? kStateTexts[state] : "(unknown)";
}

std::ostream& operator<<(std::ostream& out, Side::type side)
{
    return out << (side == Side::network ? "network" : "user");
}

const char* LAPD::error_text(unsigned code)
{
    switch (code) {
    case kSupervisoryF1: return "Supervisory (F = 1)";
    case kDmF1: return "DM (F = 1)";
    case kUaF1: return "UA (F = 1)";
    case kUaF0: return "UA (F = 0)";
    case kDmF0: return "Receipt of DM response (F = 0)";
    case kPeerReestablish: return "Peer initiated re-establishment - SABME";
    case kSabmeRetries: return "Unsuccessful retransmission (N200 times) - SABME";
    case kDiscRetries: return "Unsuccessful retransmission (N200 times) - DISC";
    case kEnquiryRetries: return "Unsuccessful retransmission (N200 times) - Status enquiry";
    case kNrError: return "Other - N(R) error";
    case kFrmr: return "Other - Receipt of FRMR response";
    case kUndefinedFrame: return "Other - Receipt of undefined frame";
    case kIFieldNotPermitted: return "Other - Receipt of I field not permitted";
    case kWrongSize: return "Other - Receipt of frame with wrong size";
    case kN201: return "Other - N201 error";
    case kTeiDenied: return "Tei Assign - Tei denied";
    default: return "Other - Unknown";
    }
}

LAPD::Status::Status(const LAPD* link, const std::string& text) : Protocol_status_error(link, text)
{
    if (link)
        static_cast<LAPDFullState&>(*this) = link->full_state();
}

void LAPD::Status::out(std::ostream& os) const
{
    os << text;
    LAPDFullState::out(os);
}

LAPD::LAPD(Side::type s, unsigned level) : side(s), log(level)
{
    discard_queues();
}

LAPD::~LAPD() = default;

void LAPD::PutHeader(std::ostream& out) const
{
    out << "LAPD[" << trunk << "] (" << state_text() << "): ";
}

void LAPD::change_to_bri()
{
    bri = true;
    if (side == Side::user && state == kTeiAssigned && !T200running && !T203running)
        state = kTeiUnassigned;
}

Protocol_status LAPD::status() const
{
    return Protocol_status(new Status(this, "current status"));
}

void LAPD::show_stat() const
{
    std::cout << " - current state: ";
    LAPDFullState::out(std::cout);
    std::cout << std::endl << " - statistics: ";
    stats.out(std::cout);
    std::cout << std::endl;
}

void LAPD::on_error(unsigned code)
{
    on_error_text(error_text(code));
}

void LAPD::on_error_text(const std::string& text)
{
    on_status(Protocol_status(new Status(this, text)));
}

void LAPD::deactivated(const char* text, bool success)
{
    if (success)
        on_deactivate(Protocol_status(new Protocol_status_success(this, text)));
    else
        on_deactivate(Protocol_status(new Status(this, text)));
}

void LAPD::set_state(unsigned next)
{
    if (next != state && traces(1)) {
        bool recovery = (state == kMultipleFrameEstablished && next == kTimerRecovery) ||
                        (state == kTimerRecovery && next == kMultipleFrameEstablished);
        if (!recovery || traces(3))
            std::clog << "LAPD[" << trunk << "] : change state " << ext::quoted(statetext(state)) << " -> "
                      << ext::quoted(statetext(next)) << std::endl;
    }
    state = next;
}

// --------------------------------------------------------------- requests

void LAPD::local_activate()
{
    if (traces(0))
        std::clog << ext::header(this) << "DL-ESTABLISH" << std::endl;
    switch (state) {
    case kTeiUnassigned:
        RC = 0;
        on_mdl_assign();
        // The link stays in "Establish awaiting TEI", so that the
        // assignment ends in establishment (Q.921 5.3.2).
        enter_tei_wait(kEstablishAwaitingTei);
        break;
    case kAssignAwaitingTei:
        enter_tei_wait(kEstablishAwaitingTei);
        break;
    case kTeiAssigned:
        establish();
        L3Initiated = true;
        set_state(kAwaitingEstablishment);
        break;
    case kAwaitingEstablishment:
        discard_queues();
        L3Initiated = true;
        break;
    case kMultipleFrameEstablished:
    case kTimerRecovery:
        discard_queues();
        establish();
        L3Initiated = true;
        set_state(kAwaitingEstablishment);
        break;
    default:
        break;
    }
}

void LAPD::local_deactivate()
{
    if (traces(1))
        std::clog << ext::header(this) << "DL-RELEASE" << std::endl;
    static const char* const kText = "success (deactivated locally)";
    switch (state) {
    case kTeiAssigned:
        deactivated(kText, true);
        break;
    case kAwaitingEstablishment:
        discard_queues();
        RC = 0;
        tx_cmd_resp(kDISC, true, true);
        stop(T203);
        stop(T202);
        start(T200);
        set_state(kTeiAssigned);
        deactivated(kText, true);
        break;
    case kMultipleFrameEstablished:
    case kTimerRecovery:
        discard_queues();
        RC = 0;
        tx_cmd_resp(kDISC, true, true);
        if (state == kMultipleFrameEstablished)
            stop(T203);
        start(T200);
        set_state(kAwaitingRelease);
        break;
    default:
        break;
    }
}

void LAPD::mdl_assign(unsigned char tei)
{
    if (traces(1))
        std::clog << ext::header(this) << "MDL-ASSIGN" << " (tei=" << unsigned(tei) << ")" << std::endl;
    ownTEI = tei;
    if (state == kEstablishAwaitingTei) {
        establish();
        L3Initiated = true;
        set_state(kAwaitingEstablishment);
    } else {
        set_state(kTeiAssigned);
    }
}

void LAPD::mdl_remove()
{
    std::clog << ext::header(this) << "MDL-REMOVE" << std::endl;
    unsigned was = state;
    if (was == kTeiAssigned || was == kAwaitingEstablishment || was >= kMultipleFrameEstablished)
        discard_queues();
    if (was >= kAwaitingEstablishment)
        stop(T200);
    if (was == kMultipleFrameEstablished)
        stop(T203);
    if (was >= kTeiAssigned)
        set_state(kTeiUnassigned);
    if (was >= kAwaitingEstablishment)
        deactivated("error (MDL-REMOVE received)", false);
}

// ------------------------------------------------------ common procedures

void LAPD::clear_exceptions()
{
    peerBusy = ownBusy = RejectException = AckRQ = false;
}

void LAPD::establish()
{
    clear_exceptions();
    RC = 0;
    tx_cmd_resp(kSABME, true, true);
    stop(T203);
    start(T200);
}

void LAPD::transmit_enquiry()
{
    if (traces(3))
        std::clog << ext::header(this) << "tx_enquiry, ownBusy=" << ownBusy << std::endl;
    tx_cmd_resp(kRR, true, true);
    AckRQ = false;
    start(T200);
}

void LAPD::enquiry_response()
{
    if (traces(3))
        std::clog << ext::header(this) << "tx_enquiry_response" << std::endl;
    tx_cmd_resp(kRR, true, false);
    AckRQ = false;
}

void LAPD::nr_error_recovery()
{
    on_error(kNrError);
    establish();
    L3Initiated = false;
}

void LAPD::retransmit_from(Sequence nr)
{
    VA = nr;
    RetrRQ = true;
    QueuedUp = true;
}

bool LAPD::nr_valid(Sequence nr) const
{
    return (VA <= nr) <= VS;
}

void LAPD::reset_sequence()
{
    VS = VA = VR = 0;
    ackQueue.clear();
}

// ----------------------------------------------------------------- timers

bool& LAPD::running(TimerId t)
{
    return t == T200 ? T200running : t == T202 ? T202running : T203running;
}

// The three timers share one Timer. A conflict is reported, and then the
// other flags are cleared: the flags always say what the Timer holds, so a
// later stop of the other timer cannot cancel this one.
void LAPD::start(TimerId t)
{
    static const TimerId kOthers[3][2] = {{T202, T203}, {T200, T203}, {T200, T202}};
    for (TimerId o : kOthers[t]) {
        if (running(o)) {
            on_error_text(std::string("trying to start ") + kTimerNames[t] + " while " + kTimerNames[o] + " running");
            running(o) = false;
        }
    }
    running(t) = true;
    switch (t) {
    case T200: timer.set(kT200, &LAPD::t200_expired, this); break;
    case T202: timer.set(kT202, &LAPD::t202_expired, this); break;
    case T203: timer.set(kT203, &LAPD::t203_expired, this); break;
    }
}

void LAPD::stop(TimerId t)
{
    static const TimerId kOthers[3][2] = {{T203, T202}, {T200, T203}, {T200, T202}};
    if (!running(t))
        return;
    for (TimerId o : kOthers[t])
        if (running(o))
            on_error_text(std::string("trying to stop ") + kTimerNames[t] + " while " + kTimerNames[o] + " running");
    running(t) = false;
    timer.reset();
}

void LAPD::t200_expired()
{
    T200running = false;
    ++stats.T200;
    t200_recovery();
    local_events();
}

void LAPD::t202_expired()
{
    T202running = false;
    ++stats.T202;
    if (state == kAssignAwaitingTei || state == kEstablishAwaitingTei) {
        if (RC > kN202) {
            state = kTeiUnassigned; // no change-of-state line
            deactivated("link error (T202 expired N202 times)", false);
        } else {
            Ri = static_cast<uint16_t>(std::rand());
            tx_identity(Ri, 127, kIdentityRequest);
            start(T202);
            ++RC;
        }
    }
    local_events();
}

void LAPD::t203_expired()
{
    T203running = false;
    ++stats.T203;
    std::clog << ext::header(this) << "T203." << std::endl;
    if (state == kMultipleFrameEstablished) {
        transmit_enquiry();
        RC = 0;
        set_state(kTimerRecovery);
    }
    local_events();
}

// Q.921 5.5.7 and 5.6: retries of SABME and DISC, then timer recovery.
void LAPD::t200_recovery()
{
    static const char* const kLost = "link error (T200 expired N200 times)";
    switch (state) {
    case kAwaitingEstablishment:
        if (RC == kN200) {
            discard_queues();
            on_error(kSabmeRetries);
            set_state(kTeiAssigned);
            deactivated(kLost, false);
        } else {
            ++RC;
            tx_cmd_resp(kSABME, true, true);
            start(T200);
        }
        break;
    case kAwaitingRelease:
        if (RC == kN200) {
            on_error(kDiscRetries);
            set_state(kTeiAssigned);
            deactivated(kLost, false);
        } else {
            ++RC;
            tx_cmd_resp(kDISC, true, true);
            start(T200);
        }
        break;
    case kMultipleFrameEstablished:
        RC = 0;
        transmit_enquiry();
        RC = 1;
        if (traces(1))
            std::clog << ext::header(this) << "ack expired" << std::endl;
        set_state(kTimerRecovery);
        break;
    case kTimerRecovery:
        if (RC == kN200) {
            if (traces(1))
                std::clog << ext::header(this) << "ack error !!!" << std::endl;
            on_error(kEnquiryRetries);
            establish();
            L3Initiated = false;
            set_state(kAwaitingEstablishment);
        } else {
            if (traces(1))
                std::clog << ext::header(this) << "ack timeout expired RC=" << RC << std::endl;
            transmit_enquiry();
            ++RC;
        }
        break;
    default:
        break;
    }
}

} // namespace ISDN
