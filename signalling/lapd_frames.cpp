// LAPD frames (Q.921 clause 3): building, sending, parsing and dispatch,
// and the TEI management entity of a user side (Q.921 clause 5.3).
#include <cstdlib>
#include <iostream>
#include <new>

#include "runtime/ext.h"
#include "signalling/lapd.h"
#include "signalling/q931_trace.h"

namespace ISDN {

namespace {
constexpr int kManagementSapi = 63;
constexpr int kGroupTei = 127;
constexpr uint8_t kManagementEntity = 0x0F;
} // namespace

// Q.921 Table 1: a user sends commands with C/R = 0, a network with 1.
bool LAPD::cr_bit(bool command) const
{
    return command == (side == Side::network);
}

void LAPD::pool_empty()
{
    if (!poolExhausted)
        std::cerr << ext::header(this) << "no packet buffer: frame not sent" << std::endl;
    poolExhausted = true;
}

bool LAPD::tx_cmd_resp(int type, bool pf, bool command)
{
    Packet frame;
    try {
        prepare_head(frame);
        frame.put(static_cast<uint8_t>(ownSAPI << 2 | cr_bit(command) << 1));
        frame.put(static_cast<uint8_t>(ownTEI << 1 | 1));
        if (type >= kRR && type <= kREJ) {
            frame.put(static_cast<uint8_t>(type << 2 | 1));
            frame.put(static_cast<uint8_t>(unsigned(VR) << 1 | pf));
        } else if (type == kUI || type == kDM || type == kDISC || type == kUA || type == kSABME ||
                   type == kFRMR || type == kXID) {
            frame.put(static_cast<uint8_t>(type | (pf ? 0x10 : 0)));
        }
    } catch (const std::bad_alloc&) {
        pool_empty();
        return false;
    }
    return xmit(frame);
}

bool LAPD::tx_iframe(Packet& message, bool pf)
{
    Packet frame = message;
    try {
        if (frame.get()->_headroom() < 4) {
            // A message given without the head room of this layer.
            Packet room;
            prepare_head(room);
            room.put(frame);
            frame = room;
        }
        // Pushing copies the shared buffer: the queued message stays bare.
        frame.push(static_cast<uint8_t>(unsigned(VR) << 1 | pf));
        frame.push(static_cast<uint8_t>(unsigned(VS) << 1));
        frame.push(static_cast<uint8_t>(ownTEI << 1 | 1));
        frame.push(static_cast<uint8_t>(ownSAPI << 2 | cr_bit(true) << 1));
    } catch (const std::bad_alloc&) {
        pool_empty();
        return false;
    }
    return xmit(frame);
}

bool LAPD::xmit(Packet& frame)
{
    if (!hdlc) {
        if (traces(3))
            std::clog << ext::header(this) << "no HDLC device attached!!!" << std::endl;
        return false;
    }
    int length = frame.length();
    // Traced before the channel may change the handle.
    if (traces(2) && length >= 3) {
        dlogframe(frame.get()->data, length, side == Side::network, logbuf, sizeof(logbuf));
        std::clog << ext::header(this) << "tx: " << logbuf << std::flush;
    }
    if (!hdlc->hdlc_transmit(frame)) {
        std::clog << ext::header(this) << "tx full" << std::endl;
        return false;
    }
    poolExhausted = false;
    return true;
}

bool LAPD::tx_identity(uint16_t ri, int ai, uint8_t type)
{
    if (!bri)
        return false;
    Packet frame;
    try {
        prepare_head(frame);
        frame.put(static_cast<uint8_t>(kManagementSapi << 2 | cr_bit(true) << 1));
        frame.put(static_cast<uint8_t>(kGroupTei << 1 | 1));
        frame.put(kUI);
        frame.put(kManagementEntity);
        frame.put16(ri);
        frame.put(type);
        frame.put(static_cast<uint8_t>(ai << 1 | 1));
    } catch (const std::bad_alloc&) {
        pool_empty();
        return false;
    }
    return xmit(frame);
}

// ------------------------------------------------------------- reception

// Frames too short for their kind, and SAPIs other than call control (0)
// and TEI management (63), are dropped: a short frame read as N(S) =
// N(R) = 0 would deliver a phantom message or fake an N(R) error.
void LAPD::receive(Packet& frame)
{
    const Packet& in = frame;
    int length = in.length();
    if (length < 2)
        return;
    if (traces(2) && length >= 3) {
        dlogframe(in.get()->data, length, side == Side::user, logbuf, sizeof(logbuf));
        std::clog << ext::header(this) << "rx:" << logbuf << std::flush;
    }
    uint8_t address1 = in[0];
    uint8_t address2 = in[1];
    if ((address1 & 1) || !(address2 & 1))
        return;
    Received f;
    f.command = ((address1 & 2) != 0) == (side == Side::user);
    peerSAPI = address1 >> 2;
    peerTEI = address2 >> 1;
    // A BRI user side takes its own TEI once it holds one, and the group
    // TEI; the group TEI carries broadcast UI frames only (Q.921 3.3.4.2).
    bool filtered = bri && side == Side::user;
    if (filtered && peerTEI != kGroupTei && (state < kTeiAssigned || peerTEI != ownTEI))
        return;
    if (peerSAPI != 0 && peerSAPI != kManagementSapi)
        return;
    if (length < 3) {
        on_error(kWrongSize);
        return;
    }
    uint8_t control = in[2];
    if (filtered && peerTEI == kGroupTei && (control & 0xEF) != kUI)
        return;
    bool numbered = (control & 3) != 3;
    if (numbered && length < 4) {
        on_error(kWrongSize);
        return;
    }
    if (peerSAPI == kManagementSapi && (control & 0xEF) != kUI)
        return;
    if (numbered) {
        f.pf = in[3] & 1;
        f.nr = in[3] >> 1;
        f.ns = control >> 1;
    } else {
        f.pf = (control & 0x10) != 0;
    }
    try {
        // The information field: what follows the control field.
        for (int i = numbered ? 4 : 3; i > 0; --i)
            frame.pull();
    } catch (const std::bad_alloc&) {
        pool_empty();
        return;
    }
    dispatch(f, control, frame);
    local_events();
}

void LAPD::dispatch(const Received& f, uint8_t control, Packet& info)
{
    if ((control & 1) == 0) {
        on_iframe(f, info);
        return;
    }
    if ((control & 3) == 1) {
        switch ((control >> 2) & 3) {
        case kRR: on_rr(f); break;
        case kRNR: on_rnr(f); break;
        case kREJ: on_rej(f); break;
        default: break;
        }
        return;
    }
    switch (control & 0xEF) {
    case kDISC: on_disc(f); break;
    case kUI: on_UI(info); break;
    case kDM: on_dm(f); break;
    case kSABME: on_sabme(f); break;
    case kUA: on_ua(f); break;
    case kFRMR: on_frmr(f); break;
    default: break;
    }
}

// ------------------------------------------------------- TEI management

void LAPD::enter_tei_wait(unsigned next)
{
    set_state(next);
    if (bri && side == Side::user && !T202running)
        BeginTeiAssignProcedure();
}

void LAPD::BeginTeiAssignProcedure()
{
    if (!bri || side != Side::user)
        return;
    // A DL-ESTABLISH waiting for the TEI keeps its state, so the
    // assignment goes on to establishment.
    if (state != kEstablishAwaitingTei)
        set_state(kAssignAwaitingTei);
    on_mdl_assign();
    Ri = static_cast<uint16_t>(std::rand());
    tx_identity(Ri, kGroupTei, kIdentityRequest);
    RC = 0;
    stop(T200);
    stop(T203);
    start(T202);
}

void LAPD::on_UI(Packet& info)
{
    if (!bri || info.length() == 0)
        return;
    if (traces(3))
        std::clog << ext::header(this) << "on_UI()" << std::endl;
    const Packet& in = info;
    if (in[0] != kManagementEntity) {
        if (peerSAPI == kManagementSapi)
            return;
        // Layer 3 data in a UI frame: the peer wants a link (Q.921 5.2.2).
        if (side == Side::user) {
            if (state == kAwaitingEstablishment)
                set_state(kTeiAssigned);
            if (state == kTeiAssigned || state == kTeiUnassigned)
                local_activate();
        }
        on_message(info);
        return;
    }
    on_management(info);
}

void LAPD::on_management(Packet& info)
{
    const Packet& in = info;
    if (in.length() < 5)
        return;
    uint16_t ri = static_cast<uint16_t>(in[1] | in[2] << 8);
    int type = in[3];
    int ai = in[4] >> 1;
    if (traces(3))
        std::clog << ext::header(this) << "on_UI() type=" << type << " Ai=" << ai << std::endl;
    bool ours = ai == kGroupTei || ai == ownTEI;
    switch (type) {
    case kIdentityAssigned:
        if ((state == kAssignAwaitingTei || state == kEstablishAwaitingTei) && ri == Ri) {
            // T202 first: the establishment that may follow starts T200.
            stop(T202);
            mdl_assign(static_cast<unsigned char>(ai));
        }
        break;
    case kIdentityDenied:
        if (state == kAssignAwaitingTei && ri == Ri) {
            if (ai == kGroupTei)
                std::clog << ext::header(this) << "ASP returned: All TEI's used" << std::endl;
            else
                std::clog << ext::header(this) << "ASP returned: TEI " << ai << " denied" << std::endl;
            on_error(kTeiDenied);
        }
        break;
    case kCheckRequest:
        if (state >= kTeiAssigned && ours)
            tx_identity(Ri, ownTEI, kCheckResponse);
        break;
    case kIdentityRemove:
        if (ours) {
            mdl_remove();
            BeginTeiAssignProcedure();
        }
        break;
    default:
        break;
    }
}

} // namespace ISDN
