// A simulated board with its switch, and an HDLC channel's receiver that
// records what it is told, for the signalling tests.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "server/switch/hw_mux.h"
#include "signalling/hdlc.h"
#include "tests/runtime/loop_support.h"
#include "tests/runtime/packet_support.h"
#include "tests/simboard/sim_board.h"

namespace vbtest {

struct Receiver : HDLC::Notify {
    std::vector<std::string> frames;
    int errors = 0;
    int readies = 0;
    std::function<void()> after; // runs after each callback

    void on_hdlc_receive(Packet& frame) override
    {
        frames.push_back(content(frame));
        if (after)
            after();
    }
    void on_hdlc_error(Cause::Type cause) override
    {
        errors += cause == Cause::read_error ? 1 : 100;
        if (after)
            after();
    }
    void on_hdlc_ready() override
    {
        ++readies;
        if (after)
            after();
    }
};

struct SwitchedBoard {
    SimulatedBoard sim;
    HwMux::Scoped mux;

    SimBoard::SwitchPath& path() { return sim.hal().path(); }
    SimBoard::SwitchPath::LineEnd& line(int channel) { return path().line(channel); }
    // The switch channel the controller gave most recently.
    int last_timeslot() { return sim.board.ioctls(Device::Mcc::kDevice, Device::Mcc::MCC_TIMESLOT).back().result; }
};

// A channel of type 1 on line channel tdm, with its receiver.
struct LineChannel {
    Receiver rx;
    HDLC hdlc;
    int timeslot = -1;

    LineChannel(SwitchedBoard& board, int tdm, unsigned number = 1) : hdlc(number)
    {
        hdlc.notify = &rx;
        hdlc.parameters.tdm = tdm;
        hdlc.parameters.type = 1;
        if (hdlc.activate())
            timeslot = board.last_timeslot();
    }
    bool send(const std::string& octets)
    {
        Packet p = make_packet(octets);
        return hdlc.hdlc_transmit(p);
    }
};

} // namespace vbtest
