// The network side of the ISDN data link on a BRI S bus, where up to eight
// terminals share one D channel: the network half of TEI management (Q.921
// clause 5.3: assignment, check, removal) and one small Q.921 peer per
// assigned terminal.
//
// One layer of a signalling slot's stack. Frames leave through transmit()
// to whatever is below (or the owner) and enter through receive(); layer 3
// goes up with on_message and comes down with message(). A SETUP from
// above is broadcast; every other message goes to the terminal that used
// its call reference.
//
// lapd_nt.cpp holds the TEI management and routing, lapd_nt_user.cpp the
// per-terminal link.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "runtime/clean_queue.h"
#include "runtime/cyclic.h"
#include "runtime/protocol.h"
#include "runtime/timer.h"
#include "signalling/lapd_state.h"

namespace ISDN {

class LAPD_NT;

// The data link towards one terminal (one TEI): opens multiple-frame
// operation itself, numbers I frames modulo 128 with a window of 7, polls
// the terminal when idle and gives it up after three unanswered retries.
class LAPD_NT_user {
public:
    using Seq = Cyclic<unsigned int, 127u>;
    enum State { kUnassigned = 0, kAssigned = 1, kWaitAnswer = 2 };

    static constexpr unsigned kPollTime = 10000;
    static constexpr unsigned kAnswerTime = 1000;
    static constexpr int kN200 = 3;
    // Two check requests T201 apart, each with T201 to answer.
    static constexpr unsigned kCheckTime = 2000;
    static constexpr unsigned kWindow = 7;
    static constexpr unsigned kOutLimit = 128;
    // Call references a terminal may hold at once, most recent kept.
    static constexpr unsigned kCalls = 16;

    LAPD_NT_user() = default;
    ~LAPD_NT_user() { report_drops(); }
    LAPD_NT_user(const LAPD_NT_user&) = delete;
    LAPD_NT_user& operator=(const LAPD_NT_user&) = delete;

    void set_lapd(LAPD_NT* lapd) { owner = lapd; }
    void set_log(unsigned level) { log = level; }

    void assign();
    void unassign();
    // Starts a TEI check: unassigned unless an answer comes in time.
    void checking();
    // A frame from its control field on; cr is the C/R bit of octet 1.
    void receive(Packet& frame, bool cr);
    // True when this terminal takes the layer 3 message.
    bool message(Packet& p);
    void PutHeader(std::ostream& out) const;

    int state() const { return mState; }
    bool assigned() const { return mState != kUnassigned; }
    bool is_checking() const { return mChecking; }
    bool is_busy() const { return busy; }
    uint8_t tei() const { return mTei; }
    void set_tei(uint8_t t) { mTei = t; }
    uint16_t check_ri() const { return checkRi; }
    void set_check_ri(uint16_t ri) { checkRi = ri; }
    unsigned VS() const { return vs; }
    unsigned VA() const { return va; }
    unsigned VR() const { return vr; }
    unsigned out_count() const { return outQueue.count(); }
    unsigned ack_count() const { return ackQueue.count(); }
    // Whether a layer 3 message with this call reference value goes here.
    bool holds_call(uint8_t cr) const;

private:
    bool traces() const { return log > 1; }
    void trace(const char* text) const;
    void set_state(State s, unsigned ms);
    // Empties the acknowledgement queue, and the out queue when unsent is
    // set, with one line when messages were in them.
    void discard(const char* why, bool unsent);
    // Ends a run of messages dropped from the full out queue: one line
    // with their count (its first drop wrote one at once, so a terminal
    // that stays busy does not lose messages unseen).
    void report_drops();

    void tx_U(uint8_t code, bool pf, bool command);
    void tx_S(uint8_t code, bool pf, bool command);
    void tx_frame(uint8_t control, int octet4, bool command);
    bool tx_I(Packet& message, Seq ns);
    void send_new(Packet& frame);

    void on_iframe(Packet& frame, bool pf, Seq ns, Seq nr);
    void on_supervisory(uint8_t code, bool command, bool pf, Seq nr);
    void on_unnumbered(uint8_t code, bool command, bool pf);
    bool ack_queue(Seq nr);
    void acknowledged(bool progress);
    void set_unbusy();
    bool pump();
    void retransmit();
    void on_timer();
    void on_check_timer();
    void learn_call(const Packet& info);
    void forget_call(uint8_t cr);

    bool mChecking = false;
    LAPD_NT* owner = nullptr;
    Seq vr, va, vs;
    uint8_t mTei = 0;
    int mState = kUnassigned;
    Timer linkTimer;
    Timer checkTimer;
    int RC = 0;
    uint8_t calls[kCalls] = {};
    unsigned callCount = 0;
    bool busy = false;
    bool ackPending = false; // an in-sequence I frame awaits its acknowledgement
    bool rejected = false;   // a REJ went out for the current sequence error
    unsigned log = 0;
    CleanQueue<Packet, 135> outQueue; // bare messages not yet sent
    unsigned dropped = 0;             // oldest messages dropped in the current run
    CleanQueue<Packet, kWindow> ackQueue; // bare messages sent, not acknowledged
    uint16_t checkRi = 0;
};

class LAPD_NT : public Protocol {
public:
    static constexpr unsigned kTerminals = 8;
    static constexpr unsigned kCheckCycle = 60000;
    // Q.921 T201: the check request goes once more to a TEI that did not
    // answer within it (5.3.5.2).
    static constexpr unsigned kT201 = 1000;
    static constexpr uint8_t kFirstAutoTei = 64;
    static constexpr uint8_t kLastAutoTei = 126;
    static constexpr uint8_t kGroupTei = 127;

    LAPD_NT();
    ~LAPD_NT() override;

    void set_log(unsigned level);

    // Protocol
    void local_prepare_head(Packet& p) override { p.reserve_head(4); }
    void local_prepare_tail(Packet& p) override { p.reserve_tail(0); }
    void local_activate() override;
    void local_deactivate() override;
    bool message(Packet& p) override;
    void receive(Packet& frame) override;

    // For the terminal links.
    void send_to_layer3(Packet& info) { on_message(info); }
    bool send_to_layer1(Packet& frame) { return transmit(frame); }
    // A frame to push n header octets onto: the message's own buffer, or a
    // new one with the stack's head room when it has too little.
    Packet framing(Packet& message, int n);

    LAPD_NT_user* find_Tei(uint8_t tei);
    LAPD_NT_user* find_free_Tei(uint8_t ai);
    void check_all_Tei();
    bool tx_identity(uint16_t ri, int ai, uint8_t type);
    // Identity remove for a TEI, sent twice (Q.921 5.3).
    void remove_twice(int ai);
    void PutHeader(std::ostream& out) const;

    const LAPD_NT_user& user(unsigned i) const { return users[i]; }
    unsigned log = 0;

private:
    bool traces() const { return log > 0; }
    void on_management(Packet& frame);
    void on_identity_request(uint16_t ri, int ai);
    void on_check_response(uint16_t ri, int ai);
    void check_again();
    bool broadcast(Packet& p);

    Timer checkCycle;
    Timer checkRepeat;
    LAPD_NT_user users[kTerminals];
    // Activated and not deactivated since: only then is an end news.
    bool active = false;
};

} // namespace ISDN
