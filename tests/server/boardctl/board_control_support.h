// Board control services bound to a control server whose controller link
// is a socket pair, on the simulated board, in virtual time. Commands go
// through the loop as TPKT frames; signals are kept as short texts.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <memory>

#include "tests/runtime/loop_support.h"
#include "tests/server/control/lgcp_support.h"
#include "tests/simboard/sim_board.h"
#include "tests/support/test_support.h"

namespace vbtest {

// "e1 2 lossCarrier 0 0 1 0 0" (type, trunk, state, slips and the four
// loss counters) or "cas 1 5 9 3" (path, time slot, rx, tx).
inline std::string board_signal_text(const LGCP::Signal& s)
{
    static const char* const states[] = {"normal", "lossBF", "lossCarrier", "ais", "rai", "unknown", "disabled", "?"};
    std::ostringstream o;
    if (s.is_trunkStatus()) {
        const ACP::TrunkStatus& t = s.get_trunkStatus();
        o << (t.get_type().getValue() == ACP::TrunkType::e1 ? "e1 " : "bri ") << t.get_trunk().getValue() << " "
          << states[std::min(unsigned(t.get_state().getValue()), 7u)];
        for (const ASN1::INTEGER* n :
             {&t.get_slips(), &t.get_lossBF(), &t.get_lossCarrier(), &t.get_lossAIS(), &t.get_lossRAI()})
            o << " " << n->getValue();
    } else if (s.is_cas()) {
        const LGCP::CasSignalling& c = s.get_cas();
        o << "cas " << c.get_channel().get_path().getValue() << " " << c.get_channel().get_timeslot().getValue()
          << " " << c.get_rx().getValue() << " " << c.get_tx().getValue();
    }
    return o.str();
}

// Every signal the other bound services send, with the loop time.
struct SignalLog : CtrlSrv::Service {
    void OnConnect() override {}
    void OnDisconnect() override {}
    bool OnCommand(const LGCP::Command&) override { return false; }
    void OnSignal(const LGCP::Signal& s) override { sent.emplace_back(Mux::milliseconds(), board_signal_text(s)); }
    // The texts sent since the last take.
    std::vector<std::string> take()
    {
        std::vector<std::string> out;
        for (const auto& s : sent)
            out.push_back(s.second);
        return sent.clear(), out;
    }
    std::vector<std::pair<uint32_t, std::string>> sent;
};

class BoardControlTest : public ::testing::Test {
protected:
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock{clock};
    CaptureStream out{std::cout}, err{std::cerr}, log{std::clog};
    SimulatedBoard sim;
    SimBoard::Board& board = sim.board;
    SignalLog signals;
    std::unique_ptr<CtrlSrv::Server> serverOwner{new CtrlSrv::Server};
    PairLink* link = new PairLink;
    int seq = 0;

    // The services are the test's own: the server goes first.
    void TearDown() override { serverOwner.reset(); }
    void start(std::initializer_list<CtrlSrv::Service*> services)
    {
        for (CtrlSrv::Service* s : services)
            serverOwner->Bind(s);
        serverOwner->Bind(&signals);
        serverOwner->Activate(link);
    }
    void connect() { link->up(); }
    void hang_up()
    {
        link->Disconnect();
        run_until([&] { return link->state() != Control::Service::State::Connected; });
    }
    void run_ms(unsigned ms) { run_until([] { return false; }, ms); }
    // The command's answer without its seq: "success", "error busError".
    std::string command(const LGCP::Command& cmd)
    {
        LGCP::PDU pdu;
        pdu.set_command(cmd);
        std::string prefix = "seq=" + std::to_string(++seq) + " ", answer;
        write_all(link->pair.b.get(), tpkt(lgcp(pdu, seq)));
        run_until([&] {
            for (const std::string& a : answers(link->pair.b))
                answer = a.compare(0, prefix.size(), prefix) ? answer : a.substr(prefix.size());
            return !answer.empty();
        });
        return answer;
    }
};

} // namespace vbtest
