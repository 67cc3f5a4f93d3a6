// Random creates, connects, destroys and device hang-ups over every kind of
// slot, with the program's own factories on the simulated board: after
// every step, no channel that a driver hands out is held by two live slots
// that still answer for it, but for the input and the output of one mixer
// channel, which share it. Every slot made is of a kind in the list of
// kinds, and holds its channel as the list says.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "main/factories.h"
#include "media/dsproc_receiver.h"
#include "media/tonec_receiver.h"
#include "tests/media/rtp_support.h"
#include "tests/support/create_commands.h"
#include "tests/server/slots/slot_support.h"
#include "tests/signalling/signalling_commands.h"
#include "tests/support/media_params.h"
#include "tests/e2e/slot_kinds.h"

using namespace vbtest;
using C = LGCP::Command;

namespace {

struct ProgramWorld : OwnNetwork, SlotWorld {
    Hardware::TonecReceiverService::Scoped tonecScope;
    Hardware::DSProcReceiverService::Scoped dsprocScope;

    ProgramWorld()
    {
        BuildFactories();
        // The test factory of the world takes no create: the program's do.
        factory.refuse = true;
    }
    // The slots go while this world's services and board are there.
    ~ProgramWorld() { slots().OnDisconnect(); }

    // Runs the loop for a few passes: ends that the board reported are read.
    void settle()
    {
        unsigned end = clock.polls() + 3;
        run_real([&] { return clock.polls() >= end; }, 1000);
    }
};

C mixer(bool input, int channel)
{
    C c;
    if (input) {
        c.get_create().get_mixerIn().set_unit(0);
        c.get_create().get_mixerIn().set_channel(tdm(channel));
    } else {
        c.get_create().get_mixerOut().set_unit(0);
        c.get_create().get_mixerOut().set_channel(tdm(channel));
    }
    return c;
}

C modem(bool fax, bool digital = false)
{
    C c = create_modem("");
    if (fax)
        c.get_create().get_modem().include_fax();
    if (digital)
        c.get_create().get_modem().include_ddm().push_back(TERM::DigitalDataModeEnum::ddmV110);
    return c;
}

C player()
{
    C c;
    c.get_create().get_voice().get_player().get_network().set_host(loopback_host(9));
    c.get_create().get_voice().get_player().get_network().set_id(1);
    return c;
}

// The kinds whose channels nothing hands out.
C fixed(int which)
{
    C c;
    switch (which) {
    case 0:
        c.get_create().get_trunk_bri().set_trunk(0), c.get_create().get_trunk_bri().set_timeslot(1);
        return c;
    case 1:
        c.get_create().get_map().include_receiver().set_bus(1), c.get_create().get_map().get_receiver().set_channel(2);
        return c;
    case 2:
        c.get_create().get_ext().set_transmitter(3), c.get_create().get_ext().set_receiver(3);
        return c;
    case 3:
        c.get_create().get_echo().set_bus(0), c.get_create().get_echo().set_channel(4);
        return c;
    case 4:
        return pstn_isdn(false, 2, false);
    default:
        return hdlc_params(3, 4660);
    }
}

C recorder()
{
    C c;
    c.get_create().get_voice().set_record(loopback_host(9));
    return c;
}

// The creates of the walk; n is the slot an ATS-QSIG B channel names.
std::vector<std::function<C(int n)>> creates()
{
    return {
        [](int) { return mixer(true, 1); },   [](int) { return mixer(true, 2); },
        [](int) { return mixer(false, 1); },  [](int) { return mixer(false, 2); },
        [](int) { return create_mcc(LGCP::MccType::transparent); },            [](int) { return isdn(false); },
        [](int) { return ats_qsig(); },       [](int n) { return ats_qsig_b(n, 1); },
        [](int) { return create_rtp_on(free_rtp_port(), free_rtp_port()); },           [](int) { return create_rtp_on(free_rtp_port(), free_rtp_port(), Radio::lemz); },
        [](int) { return create_rtp_on(free_rtp_port(), free_rtp_port(), Radio::ed137); },           [](int) { return recorder(); },
        [](int) { return modem(false); },     [](int) { return modem(true); },
        [](int) { return create_t38(); },            [](int) { return modem(false, true); },
        [](int) { return player(); },         [](int) { return fixed(0); },
        [](int) { return fixed(1); },         [](int) { return fixed(2); },
        [](int) { return fixed(3); },         [](int) { return fixed(4); },
        [](int) { return fixed(5); },
    };
}

// "<channel> held by 03:rtp and 05:MCC" for every channel that two live
// slots answer for, "" when none.
std::string shared_channels(Slots& slots)
{
    std::map<int, std::vector<Slot*>> holders;
    for (unsigned n = 0; n < Slots::size; ++n) {
        Slot* s = slots.at(n);
        bool mixer = std::string(s ? s->GetName() : "").compare(0, 9, "mixer tdm") == 0;
        if (!s || s->IsLost() || (s->GetHold() == Slot::Hold::fixed && !mixer))
            continue;
        std::set<int> channels{s->IGetTransmitChannel(), s->IGetReceiveChannel()};
        for (int c : channels)
            if (c >= 0)
                holders[c].push_back(s);
    }
    std::ostringstream out;
    for (const auto& h : holders) {
        if (h.second.size() < 2)
            continue;
        std::set<std::string> names;
        for (Slot* s : h.second)
            names.insert(s->GetName());
        if (h.second.size() == 2 && names == std::set<std::string>{"mixer tdm input", "mixer tdm output"})
            continue;
        out << h.first << " held by";
        for (Slot* s : h.second)
            out << " " << *s;
        out << "; ";
    }
    return out.str();
}

// The row of the slot's kind, null when the list has none.
const SlotKind* row_of(Slot& slot)
{
    for (const SlotKind& k : slot_kinds())
        if (slot.GetFactory() && k.factory == slot.GetFactory()->GetName() && k.kind == slot.GetName())
            return &k;
    return nullptr;
}

TEST(OneHolder, NoChannelIsHeldByTwoLiveSlots)
{
    for (bool hangups : {false, true}) {
        SCOPED_TRACE(hangups ? "with hang-ups" : "without faults");
        ProgramWorld w;
        std::mt19937 rng(hangups ? 55 : 56);
        auto pick = [&](size_t n) { return size_t(std::uniform_int_distribution<size_t>(0, n - 1)(rng)); };
        w.command(simple(C::e_query), -1);
        // What follows waits for the T.38 engine's count.
        run_real([&] { return !w.controller().empty(); }, 3000);
        std::set<const SlotKind*> seen;
        for (int t = 0; t < 4; ++t) {
            w.command(create_trunk(1, t + 1), 40 + t);
            if (Slot* made = w.slots().at(unsigned(40 + t)))
                seen.insert(row_of(*made));
        }
        const auto kinds = creates();
        const char* devices[] = {"/dev/mcc/ctl", "/dev/rtp", "/dev/mctl", "/dev/dsp-data"};
        const int kSlots = 16;
        for (int step = 0; step < 400; ++step) {
            int n = int(pick(kSlots));
            size_t what = pick(hangups ? 10 : 9);
            std::string did;
            if (what < 4) {
                size_t k = pick(kinds.size());
                // A B channel names a live ATS-QSIG slot when there is one.
                int partner = int(pick(kSlots));
                for (int m = 0; m < kSlots; ++m)
                    if (Slot* q = w.slots().at(unsigned(m)))
                        partner = std::string(q->GetName()) == "ATS-QSIG" ? m : partner;
                w.command(kinds[k](partner), n);
                did = "create " + std::to_string(k);
                if (Slot* made = w.slots().at(unsigned(n))) {
                    const SlotKind* row = row_of(*made);
                    ASSERT_NE(row, nullptr) << "no row for the kind of " << *made;
                    EXPECT_EQ(row->device.empty(), made->GetHold() == Slot::Hold::fixed) << *made;
                    seen.insert(row);
                }
            } else if (what < 7) {
                // Both ways with a trunk, or from one slot to another.
                int other = pick(2) ? 40 + int(pick(4)) : int(pick(kSlots));
                w.command(simple(C::e_connect, unsigned(other)), n);
                w.command(simple(C::e_connect, unsigned(n)), other);
                did = "connect " + std::to_string(other);
            } else if (what < 9) {
                w.command(simple(C::e_destroy), n);
                did = "destroy";
            } else {
                const char* device = devices[pick(4)];
                for (SimBoard::Channel* ch : w.sim.board.channels(device))
                    ch->hang_up();
                did = std::string("hang up ") + device;
            }
            w.settle();
            std::string shared = shared_channels(w.slots());
            ASSERT_EQ(shared, "") << "step " << step << ": " << did << " at " << n;
        }
        for (const SlotKind& k : slot_kinds())
            EXPECT_TRUE(seen.count(&k)) << "the walk never made a " << k.factory << "/" << k.kind;
    }
}

} // namespace
