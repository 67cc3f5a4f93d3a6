// A data link under test in virtual time: the layer in a stack whose owner
// records every report, over a recording in-memory channel; the test plays
// the peer frame by frame.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "runtime/mux_time.h"
#include "signalling/lapd.h"
#include "tests/runtime/loop_support.h"
#include "tests/signalling/hdlc_pair.h"

namespace vbtest {

// The owner of a stack with one data link: what goes up, in order.
struct LinkOwner : ProtocolsFamily, ISDN::LAPD::Notify {
    std::vector<std::string> reports; // "activated", "end: text", "status: text"
    std::vector<std::string> messages;
    std::vector<ISDN::LAPD::FlowStatus::Type> flows;

    void on_activated(Protocol*) override { reports.push_back("activated"); }
    void on_deactivated(Protocol*, Protocol_status s) override
    {
        reports.push_back(std::string(s->success() ? "end: " : "end (error): ") + s->message());
    }
    void on_status(Protocol_status s) override { reports.push_back("status: " + s->message()); }
    void on_message(Packet& p) override { messages.push_back(content(p)); }
    void OnLAPD_FlowStatusChange(ISDN::LAPD* link) override { flows.push_back(link->flowStatus); }

    std::vector<std::string> take_reports()
    {
        std::vector<std::string> out;
        out.swap(reports);
        return out;
    }
};

// A link on a recording channel; loop time is virtual.
struct LinkHarness {
    Mux::VirtualClock clock;
    Mux::ScopedClock scoped{clock};
    MemoryHDLC wire;
    LinkOwner owner;
    ISDN::LAPD* link;

    explicit LinkHarness(ISDN::Side::type side = ISDN::Side::user, bool bri = false, unsigned log = 0)
        : link(new ISDN::LAPD(side, log))
    {
        link->hdlc = &wire;
        link->notify = &owner;
        if (bri)
            link->change_to_bri();
        wire.notify = link;
        owner.add_protocol_tail(link);
    }

    const ISDN::LAPDFullState& st() const { return link->full_state(); }
    unsigned state() const { return st().state; }
    // A frame from the peer, in hexadecimal.
    void rx(const std::string& hexFrame) { wire.deliver(octets(hexFrame)); }
    // A layer 3 message from above, with the head room the stack gives.
    bool send(const std::string& text)
    {
        Packet p;
        link->prepare_head(p);
        for (char c : text)
            p.put(static_cast<uint8_t>(c));
        return link->message(p);
    }
    std::vector<std::string> sent() { return wire.take(); }
    // Runs the loop for ms of virtual time.
    void advance(unsigned ms)
    {
        run_until([] { return false; }, ms);
    }

    // Brings a fresh user-side link into state s (3..7) with the peer
    // playing the network; nothing sent or reported is left over.
    void enter(unsigned s)
    {
        if (s >= ISDN::kAwaitingEstablishment) {
            link->activate();
            if (s != ISDN::kAwaitingEstablishment)
                rx("00 01 73"); // UA F = 1
            if (s == ISDN::kAwaitingRelease)
                link->deactivate();
            if (s == ISDN::kTimerRecovery)
                advance(ISDN::LAPD::kT203 + 1);
        }
        sent();
        owner.take_reports();
        EXPECT_EQ(state(), s);
    }
};

} // namespace vbtest
