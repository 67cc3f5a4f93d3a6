// An SS7 link on an in-memory HDLC channel in virtual time, with an upper
// layer that records what reaches it, for the signalling tests.
#pragma once

#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/mux_time.h"
#include "signalling/ss7_slc.h"
#include "tests/runtime/loop_support.h"
#include "tests/runtime/packet_support.h"
#include "tests/signalling/hdlc_pair.h"
#include "tests/support/test_support.h"

namespace vbtest {

// The lines of a capture that the link wrote (the loop writes its own).
inline std::string link_lines(const CaptureStream& log)
{
    std::istringstream in(log.str());
    std::string line, out;
    while (std::getline(in, line))
        if (line.compare(0, 7, "SS7/L2 ") == 0)
            out += line + "\n";
    return out;
}

// The owner of the link's stack: what the link reports upward.
struct Upper : ProtocolsList {
    std::vector<std::string> received; // MSUs, in hexadecimal
    int activations = 0;
    std::vector<std::string> deactivations;

    void on_message(Packet& p) override { received.push_back(hex(content(p))); }
    void on_activated(Protocol*) override { ++activations; }
    void on_deactivated(Protocol*, Protocol_status s) override
    {
        deactivations.push_back(s->success() ? "success" : s->message());
    }
};

// One link in virtual time, its channel and its upper layer.
struct Ss7Link {
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock{clock};
    MemoryHDLC line;
    Upper upper;
    SS7::SLC* slc = new SS7::SLC; // owned by upper

    Ss7Link()
    {
        upper.add_protocol_tail(slc);
        slc->hdlc = &line;
    }
    // A unit from the peer, given in hexadecimal.
    void feed(const std::string& unit)
    {
        Packet p = make_packet(octets(unit));
        slc->on_hdlc_receive(p);
    }
    // An MSU from the upper layer, with the room the stack gives it.
    bool send(const std::string& msu)
    {
        Packet p;
        slc->prepare_head(p);
        for (char c : octets(msu))
            p.put(static_cast<uint8_t>(c));
        return slc->message(p);
    }
    void wait(unsigned ms) { run_until([] { return false; }, ms); }
    // Aligned in normal proving, in service, the channel's record cleared.
    void bring_into_service()
    {
        slc->local_activate();
        feed("FF FF 01 01");
        feed("FF FF 00");
        line.take();
    }
};

} // namespace vbtest
