// The BRI network side: TEI management for the terminals of one S bus
// (Q.921 clause 5.3, network procedures), frame routing by TEI, and layer
// 3 routing: SETUP as a broadcast, the rest by call reference.
#include "signalling/lapd_nt.h"

#include <iostream>
#include <new>

#include "runtime/ext.h"

namespace ISDN {

namespace {
constexpr int kManagementSapi = 63;
constexpr uint8_t kManagementEntity = 0x0F;
constexpr uint8_t kUI = 0x03;
constexpr uint8_t kSetup = 0x05;
} // namespace

LAPD_NT::LAPD_NT()
{
    for (LAPD_NT_user& u : users)
        u.set_lapd(this);
}

LAPD_NT::~LAPD_NT() = default;

void LAPD_NT::set_log(unsigned level)
{
    log = level;
    for (LAPD_NT_user& u : users)
        u.set_log(level);
}

void LAPD_NT::PutHeader(std::ostream& out) const
{
    out << "LAPD(NT BRI):";
}

void LAPD_NT::local_activate()
{
    if (traces())
        std::clog << ext::header(this) << "activate" << std::endl;
    check_all_Tei();
    active = true;
    on_activate();
}

// The owner hears of the end like any other layer's: a success status,
// once, as a layer already down says nothing more.
void LAPD_NT::local_deactivate()
{
    if (traces())
        std::clog << ext::header(this) << "deactivate" << std::endl;
    checkCycle.reset();
    checkRepeat.reset();
    for (LAPD_NT_user& u : users)
        u.unassign();
    if (!active)
        return;
    active = false;
    on_deactivate(Protocol_status(new Protocol_status_success(this, "success (deactivated locally)")));
}

LAPD_NT_user* LAPD_NT::find_Tei(uint8_t tei)
{
    for (LAPD_NT_user& u : users)
        if (u.assigned() && u.tei() == tei)
            return &u;
    return nullptr;
}

LAPD_NT_user* LAPD_NT::find_free_Tei(uint8_t ai)
{
    LAPD_NT_user* free = nullptr;
    for (LAPD_NT_user& u : users)
        if (!u.assigned()) {
            free = &u;
            break;
        }
    if (!free)
        return nullptr;
    if (ai != kGroupTei) {
        free->set_tei(ai);
        return free;
    }
    for (unsigned tei = kFirstAutoTei; tei <= kLastAutoTei; ++tei)
        if (!find_Tei(static_cast<uint8_t>(tei))) {
            free->set_tei(static_cast<uint8_t>(tei));
            return free;
        }
    return nullptr;
}

void LAPD_NT::check_all_Tei()
{
    if (traces())
        std::clog << ext::header(this) << "Checking Tei values...." << std::endl;
    checkCycle.reset();
    for (LAPD_NT_user& u : users)
        u.checking();
    tx_identity(0, kGroupTei, kCheckRequest);
    checkRepeat.set(kT201, &LAPD_NT::check_again, this);
    checkCycle.set(kCheckCycle, &LAPD_NT::check_all_Tei, this);
}

// Each TEI that has not answered is asked alone: the terminals that did
// answer are not made to answer twice. One that stays silent is removed
// when its check time ends (LAPD_NT_user::checking).
void LAPD_NT::check_again()
{
    for (LAPD_NT_user& u : users)
        if (u.assigned() && u.is_checking())
            tx_identity(0, u.tei(), kCheckRequest);
}

bool LAPD_NT::tx_identity(uint16_t ri, int ai, uint8_t type)
{
    Packet frame;
    try {
        prepare_head(frame);
        frame.put(0xFE); // SAPI 63, C/R of a network command
        frame.put(0xFF); // TEI 127
        frame.put(kUI);
        frame.put(kManagementEntity);
        frame.put16(ri);
        frame.put(type);
        frame.put(static_cast<uint8_t>(ai << 1 | 1));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return transmit(frame);
}

void LAPD_NT::remove_twice(int ai)
{
    tx_identity(0, ai, kIdentityRemove);
    tx_identity(0, ai, kIdentityRemove);
}

// ------------------------------------------------------------- reception

void LAPD_NT::receive(Packet& frame)
{
    const Packet& in = frame;
    if (in.length() < 3)
        return;
    uint8_t address1 = in[0], address2 = in[1];
    if ((address1 & 1) || !(address2 & 1))
        return;
    bool cr = (address1 & 2) != 0;
    int sapi = address1 >> 2;
    uint8_t tei = address2 >> 1;
    if (tei == kGroupTei) {
        if (in[2] != kUI)
            return;
        if (sapi == kManagementSapi) {
            on_management(frame);
            return;
        }
        for (int i = 0; i < 3; ++i)
            frame.pull();
        on_message(frame);
        return;
    }
    LAPD_NT_user* user = find_Tei(tei);
    if (!user) {
        user = find_free_Tei(tei);
        if (!user) {
            if (traces())
                std::clog << ext::header(this) << "recieved packet with unassigned TEI=" << unsigned(tei) << ",removed"
                          << std::endl;
            remove_twice(tei);
            return;
        }
        if (traces())
            std::clog << ext::header(this) << "Warning:recieved packet with unassigned TEI=" << unsigned(tei)
                      << std::endl;
        user->assign();
    }
    frame.pull();
    frame.pull();
    user->receive(frame, cr);
}

void LAPD_NT::on_management(Packet& frame)
{
    const Packet& in = frame;
    // Octets 4..8: entity, Ri (low octet first), type, Ai.
    if (in.length() < 8 || in[3] != kManagementEntity)
        return;
    uint16_t ri = static_cast<uint16_t>(in[4] | in[5] << 8);
    uint8_t type = in[6];
    int ai = in[in.length() - 1] >> 1;
    switch (type) {
    case kIdentityRequest: on_identity_request(ri, ai); break;
    case kCheckResponse: on_check_response(ri, ai); break;
    case kIdentityVerify:
        if (traces())
            std::clog << ext::header(this) << "recieved verify request" << std::endl;
        check_all_Tei();
        break;
    default: break;
    }
}

void LAPD_NT::on_identity_request(uint16_t ri, int ai)
{
    if (ai < kFirstAutoTei) {
        if (traces())
            std::clog << ext::header(this) << "recieved identity request with wrong Ai=" << ai << ",ignored" << std::endl;
        return;
    }
    if (ai != kGroupTei) {
        if (traces())
            std::clog << ext::header(this) << "recieved identity request with wrong Ai=" << ai << ",denied" << std::endl;
        tx_identity(ri, ai, kIdentityDenied);
        return;
    }
    LAPD_NT_user* user = find_free_Tei(kGroupTei);
    if (!user) {
        if (traces())
            std::clog << ext::header(this) << "recieved identity request, but all TEI values is ussigned" << std::endl;
        tx_identity(ri, kGroupTei, kIdentityDenied);
        return;
    }
    if (traces())
        std::clog << ext::header(this) << "recieved identity request,TEI assigned:" << unsigned(user->tei()) << std::endl;
    tx_identity(ri, user->tei(), kIdentityAssigned);
    user->assign();
}

void LAPD_NT::on_check_response(uint16_t ri, int ai)
{
    if (ai == kGroupTei) {
        // Every TEI on the bus is gone: so are the links that used them.
        if (traces())
            std::clog << ext::header(this) << "recieved check response with wrong Ai=" << ai << ",removed" << std::endl;
        for (LAPD_NT_user& u : users)
            if (u.assigned())
                u.unassign();
        remove_twice(kGroupTei);
        return;
    }
    LAPD_NT_user* user = find_Tei(static_cast<uint8_t>(ai));
    if (user && !user->is_checking()) {
        if (ri == user->check_ri())
            return;
        // Two terminals answer for one TEI (Q.921 5.3.5.2).
        if (traces())
            std::clog << ext::header(this) << "recieved check response with dublicated Ai=" << ai << ",removed"
                      << std::endl;
        user->unassign();
        remove_twice(ai);
        return;
    }
    if (!user)
        user = find_free_Tei(static_cast<uint8_t>(ai));
    if (!user) {
        if (traces())
            std::clog << ext::header(this) << "recieved check response with wrong Ai=" << ai << ",removed" << std::endl;
        remove_twice(ai);
        return;
    }
    if (traces())
        std::clog << ext::header(this) << "TEI " << ai << " checked" << std::endl;
    user->assign();
    user->set_check_ri(ri);
}

// ---------------------------------------------------------------- layer 3

bool LAPD_NT::message(Packet& p)
{
    const Packet& in = p;
    if (in.length() <= 3)
        return false;
    if (in[3] == kSetup)
        return broadcast(p);
    for (LAPD_NT_user& u : users)
        if (u.message(p))
            return true;
    return false;
}

Packet LAPD_NT::framing(Packet& message, int n)
{
    if (message.get()->_headroom() >= n)
        return message;
    Packet room;
    prepare_head(room);
    room.put(message);
    return room;
}

// SAPI 0, C/R of a network command, TEI 127, UI. A UI frame has no
// acknowledgement: one that the channel refuses is lost like one lost on
// the bus (layer 3 repeats a SETUP), with a line.
bool LAPD_NT::broadcast(Packet& p)
{
    Packet frame;
    try {
        frame = framing(p, 3);
        frame.push(kUI);
        frame.push(0xFF);
        frame.push(0x02);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!transmit(frame))
        std::clog << ext::header(this) << "tx full" << std::endl;
    return true;
}

} // namespace ISDN
