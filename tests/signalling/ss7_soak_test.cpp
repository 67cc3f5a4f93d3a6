// Two SS7 links back to back on HDLC channels across the simulated switch,
// in virtual time, with seeded loss on the line: every MSU arrives once and
// in order, and the links stay in service.
#include <gtest/gtest.h>

#include <random>

#include "tests/signalling/hdlc_support.h"
#include "tests/signalling/ss7_support.h"

namespace {

const unsigned kMsus = 10000;

// The i-th MSU: SIO, the index, and a few more octets.
std::string msu(unsigned i)
{
    std::string s = {'\x83', char(i >> 24), char(i >> 16), char(i >> 8), char(i)};
    return s + std::string(i % 37, char(i));
}

// The owner of one link: counts what arrives in order.
struct Counter : ProtocolsList {
    unsigned next = 0;
    unsigned wrong = 0;
    std::vector<std::string> deactivations;
    void on_message(Packet& p) override { vbtest::content(p) == msu(next) ? ++next : ++wrong; }
    void on_deactivated(Protocol*, Protocol_status s) override { deactivations.push_back(s->message()); }
};

struct End {
    Counter upper;
    SS7::SLC* slc = new SS7::SLC;
    HDLC hdlc;
    int tdm;
    unsigned fed = 0;
    std::string last; // the last unit the channel sent, which the line repeats

    End(int tdm) : tdm(tdm)
    {
        upper.add_protocol_tail(slc);
        slc->hdlc = &hdlc;
        hdlc.notify = slc;
        hdlc.parameters.tdm = tdm;
        hdlc.parameters.type = 0;
    }
    void feed()
    {
        while (fed < kMsus && slc->waiting() < 20) {
            Packet p;
            slc->prepare_head(p);
            for (char c : msu(fed++))
                p.put(static_cast<uint8_t>(c));
            slc->message(p);
        }
    }
};

// What the controller sends while its link is silent: an LSSU again, or
// the header of the last unit as a FISU.
std::string filling(const std::string& last)
{
    unsigned li = static_cast<unsigned char>(last[2]) & 0x3f;
    return li == 1 || li == 2 ? last : last.substr(0, 2) + '\0';
}

TEST(Ss7Soak, TenThousandMsusEachWayAcrossALossySwitch)
{
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock(clock);
    vbtest::CaptureStream log(std::clog), err(std::cerr);
    vbtest::SwitchedBoard board;
    board.sim.mcc().set_rate(SimBoard::MccController::kUnpaced); // the relay's 5 ms ticks pace the line
    unsigned pool = Packet_pool::available();
    {
        board.line(3), board.line(4); // the line ends hear from the start
        End a(3), b(4);
        ASSERT_TRUE(a.hdlc.activate() && b.hdlc.activate());
        board.sim.board.set_recording(false); // the switch refreshes many times a second
        std::mt19937 rng(20240607);
        unsigned ticks = 0, maxOutstanding = 0, lost = 0;
        auto relay = [&](End& from, End& to) {
            auto& in = board.line(from.tdm);
            for (std::string u; !(u = in.take()).empty();) {
                from.last = u;
                rng() % 100 ? (void)board.line(to.tdm).send(u) : (void)++lost;
            }
            if (ticks % 20 == 0 && from.last.size() >= 3 && rng() % 100)
                board.line(to.tdm).send(filling(from.last));
        };
        vbtest::FnTimer line;
        line.fn = [&] {
            ++ticks;
            relay(a, b);
            relay(b, a);
            for (End* e : {&a, &b}) {
                if (e->slc->state_id() == SS7::SLC::in_service)
                    e->feed();
                maxOutstanding = std::max(maxOutstanding, e->slc->statistics().rtbSize);
            }
            line.arm(5);
        };
        line.arm(5);
        a.slc->emergency = b.slc->emergency = true; // short proving
        a.slc->local_activate();
        b.slc->local_activate();
        auto done = [&] {
            for (End* e : {&a, &b})
                if (e->upper.next < kMsus || e->slc->statistics().rtbSize || e->slc->waiting())
                    return false;
            return true;
        };
        ASSERT_TRUE(vbtest::run_until(done, 600000)) << a.upper.next << " and " << b.upper.next << " arrived";
        for (End* e : {&a, &b}) {
            EXPECT_EQ(e->upper.next, kMsus);
            EXPECT_EQ(e->upper.wrong, 0u);
            EXPECT_EQ(e->upper.deactivations, std::vector<std::string>()) << "never to idle";
            EXPECT_EQ(e->slc->state_id(), SS7::SLC::in_service);
            EXPECT_GT(e->slc->statistics().badSeqCntr, 0u);
        }
        EXPECT_LE(maxOutstanding, 127u);
        EXPECT_GT(lost, kMsus / 100);
        line.timer.reset();
        a.hdlc.deactivate();
        b.hdlc.deactivate();
        EXPECT_EQ(Packet_pool::available(), pool);
    }
}

} // namespace
