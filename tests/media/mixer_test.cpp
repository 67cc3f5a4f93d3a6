// Mixer slots made by the real factory on the simulated "/dev/mixer": the
// unit scan and its limits, the mixes that outputs and inputs build and
// undo, the requests that refuse a slot, and both ioctl tables.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "media/mixer_factory.h"
#include "simboard/mixer.h"
#include "tests/media/rtp_support.h"
#include "tests/support/media_params.h"

using namespace vbtest;
using testing::AllOf;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using Device::Mixer::MIX_RX_ADD;
using Device::Mixer::MIX_RX_CLEAR;
using Device::Mixer::MIX_RX_REMOVE;
using C = LGCP::Command;
using Mixer::MixerSlot;
using Mix = std::map<int32_t, int32_t>;

namespace {

LGCP::MixerChannel rtp(int n)
{
    LGCP::MixerChannel c;
    c.set_rtp(n);
    return c;
}

LGCP::Command mixer_out(int unit, LGCP::MixerChannel channel, std::vector<std::pair<int, int>> inputs = {})
{
    LGCP::Command c;
    LGCP::MixerOutParams& p = c.get_create().get_mixerOut();
    p.set_unit(unit);
    p.set_channel(channel);
    for (auto& in : inputs) {
        LGCP::MixerInput i;
        i.set_channel(tdm(in.first));
        i.set_gain(in.second);
        p.get_inputs().push_back(i);
    }
    return c;
}

// A digit sequence of n tones of 100 ms.
LGCP::Command digits(int n)
{
    LGCP::Command c;
    LGCP::TranslateDtmfParams& t = c.get_ioctl().get_translateDTMF();
    for (int i = 0; i < n; ++i) {
        LGCP::DualTone d;
        d.set_freq1(697);
        d.set_freq2(1209);
        t.get_digits().push_back(d);
    }
    return c;
}

LGCP::Command mixer_in(int unit, LGCP::MixerChannel channel)
{
    LGCP::Command c;
    c.get_create().get_mixerIn().set_unit(unit);
    c.get_create().get_mixerIn().set_channel(channel);
    return c;
}

// An input on unit 0 with its echo canceller mode.
LGCP::Command echo_input(int channel, bool ec, bool es)
{
    LGCP::Command c = mixer_in(0, tdm(channel));
    c.get_create().get_mixerIn().include_ecm().set_ec(ec);
    c.get_create().get_mixerIn().include_ecm().set_es(es);
    return c;
}

struct MixerTest : ::testing::Test, MediaWorld {
    Mixer::MixerFactory factory_;

    // The slots release their mixes through this test's factory.
    ~MixerTest() override { slots().OnDisconnect(); }

    SimBoard::MixerDevice& device() { return *sim.board.find<SimBoard::MixerDevice>(Device::Mixer::kDevice); }
    Texts query() { return command(simple(C::e_query), -1); }
    // The words handed in of each request of that number, cleared after.
    std::vector<std::vector<uint32_t>> sent(unsigned long request)
    {
        std::vector<std::vector<uint32_t>> out;
        for (auto& r : sim.board.ioctls(Device::Mixer::kDevice, request))
            out.push_back(r.in);
        return out;
    }
    std::vector<uint32_t> words(std::initializer_list<int> w) { return std::vector<uint32_t>(w.begin(), w.end()); }
    // The device hangs up under its service and cannot be opened again.
    void remove(const char* device)
    {
        sim.board.fail(device, SimBoard::Op::open, ENOENT, SimBoard::Board::Times::always);
        for (SimBoard::Channel* ch : sim.board.channels(device))
            ch->hang_up();
        wake();
    }
    void standard_units()
    {
        device().add_unit(0, 32, 8);
        device().add_unit(1, 16, 4);
        device().add_unit(2, 24, 6);
        query();
        sim.board.clear_log();
    }
};

TEST_F(MixerTest, ScanReportsTheSmallestCountsAndResetsNewUnits)
{
    device().add_unit(0, 32, 8);
    EXPECT_THAT(command(mixer_out(0, tdm(3)), 1), ElementsAre(HasSubstr("insufficientResources")));
    device().add_unit(1, 16, 4);
    device().add_unit(2, 24, 6);
    Texts q = query();
    EXPECT_THAT(q.at(1), HasSubstr("mixer { { unit 0, tdm_inputs 16, tdm_outputs 16, mixer_inputs 4, dpu_per_mixer 770, "
                                   "dpu_per_ec 17, dpu_per_lms 24 }, { unit 1,"));
    EXPECT_THAT(q.at(1), HasSubstr("{ unit 2, tdm_inputs 16, tdm_outputs 16, mixer_inputs 4,"));
    // Each new unit is cleared over the smallest count known when it came.
    auto clears = sent(MIX_RX_CLEAR);
    ASSERT_EQ(clears.size(), 32u + 16u + 16u);
    EXPECT_EQ(clears[31], words({0, 0, 31}));
    EXPECT_EQ(clears[32], words({1, 0, 0}));
    EXPECT_EQ(clears[47], words({1, 0, 15}));
    EXPECT_TRUE(factory_.version_valid());
    // A second scan resets nobody.
    sim.board.clear_log();
    query();
    EXPECT_THAT(sent(MIX_RX_CLEAR), IsEmpty());
}

// A unit that one scan misses (gone from the report, its query refused)
// took its channels back: its slots hear abort 0 and are lost slots, which
// answer internal and whose destroy touches nothing of the slots that the
// unit, found again and reset, gives the same channels to.
TEST_F(MixerTest, AUnitMissedByAScanLosesItsSlotsToTheNextOnes)
{
    const int ts4 = SimBoard::MixerDevice::timeslot(1, 4);
    for (bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "query refused" : "unit gone");
        standard_units();
        ASSERT_THAT(command(mixer_out(1, tdm(3), {{4, 100}}), 1), Contains("slot=1 success"));
        ASSERT_THAT(command(mixer_in(1, tdm(4)), 2), Contains("slot=2 success"));
        ASSERT_THAT(command(simple(C::e_connect, 2), 1), Contains("slot=1 success"));
        std::weak_ptr<Mixer::Mixer> held = factory_.findMixer(1)->shared_from_this();
        if (refused)
            sim.board.fail(Device::Mixer::kDevice, Device::Mixer::MIX_UNIT_QUERY, EIO, SimBoard::Board::Times::once, 1);
        else
            device().remove_unit(1);
        EXPECT_THAT(query(), AllOf(Contains("slot=1 abort 0"), Contains("slot=2 abort 0")));
        EXPECT_EQ(factory_.findMixer(1), nullptr);
        EXPECT_THAT(command(simple(C::e_ioctl), 2), ElementsAre("slot=2 error internal"));
        EXPECT_FALSE(sim.hal().carries(ts4, SimBoard::MixerDevice::timeslot(1, 3)));

        if (!refused)
            device().add_unit(1, 16, 4);
        query();
        ASSERT_THAT(command(mixer_out(1, tdm(3), {{4, 200}}), 11), Contains("slot=11 success"));
        ASSERT_THAT(command(mixer_in(1, tdm(4)), 12), Contains("slot=12 success"));
        ASSERT_THAT(command(simple(C::e_connect, 12), 11), Contains("slot=11 success"));
        destroy(1);
        EXPECT_FALSE(held.expired());
        destroy(2);
        EXPECT_TRUE(held.expired());
        EXPECT_EQ(device().mix(1, 3), (Mix{{4, 200}}));
        EXPECT_TRUE(sim.hal().carries(ts4, SimBoard::MixerDevice::timeslot(1, 3)));
        destroy(11), destroy(12);
    }
    // A unit that returns is a new mixer, reset again.
    device().remove_unit(1);
    query();
    device().add_unit(1, 16, 4);
    sim.board.clear_log();
    query();
    EXPECT_EQ(sent(MIX_RX_CLEAR).size(), 16u);
}

TEST_F(MixerTest, ScanEndsAtOneHundredUnitsAndAtARepeatedUnit)
{
    for (int u = 0; u < 120; ++u)
        device().add_unit(u, 32, 8);
    query();
    EXPECT_EQ(factory_.mixers().size(), 100u);
    device().set_repeating(7);
    sim.board.clear_log();
    query();
    // One query gives unit 7, the second repeats it: the walk ends there.
    EXPECT_EQ(sim.board.ioctls(Device::Mixer::kDevice, Device::Mixer::MIX_UNIT_QUERY).size(), 2u);
    ASSERT_EQ(factory_.mixers().size(), 1u);
    EXPECT_EQ(factory_.mixers()[0]->unit(), 7);
}

TEST_F(MixerTest, OutputBuildsItsMixOrRefusesWithoutTouchingIt)
{
    standard_units();
    EXPECT_THAT(command(mixer_out(0, tdm(3)), 1), Contains("slot=1 success"));
    EXPECT_EQ(sent(MIX_RX_ADD), (std::vector<std::vector<uint32_t>>{words({0, 0, 3, 0, 0, 3, 32767})}));
    EXPECT_EQ(device().mix(0, 3), (Mix{{3, 32767}}));

    EXPECT_THAT(command(mixer_out(0, tdm(5), {{1, 16000}, {2, 20000}}), 2), Contains("slot=2 success"));
    EXPECT_EQ(device().mix(0, 5), (Mix{{1, 16000}, {2, 20000}}));

    // A bad channel sends nothing at all, so a live mix stays.
    sim.board.clear_log();
    for (auto bad : {tdm(16), tdm(-1), rtp(5)})
        EXPECT_THAT(command(mixer_out(0, bad, {{1, 1}}), 3), ElementsAre(HasSubstr("insufficientResources")));
    EXPECT_THAT(sent(MIX_RX_CLEAR), IsEmpty());
    EXPECT_THAT(sent(MIX_RX_ADD), IsEmpty());

    // A failed add leaves no slot and no half-built mix.
    sim.board.fail(Device::Mixer::kDevice, MIX_RX_ADD, EIO, SimBoard::Board::Times::once);
    device().add_unit(0, 32, 8); // channel 5's mix back to empty
    EXPECT_THAT(command(mixer_out(0, tdm(6), {{1, 1}, {2, 2}}), 3), ElementsAre(HasSubstr("insufficientResources")));
    EXPECT_THAT(device().mix(0, 6), IsEmpty());
    EXPECT_THAT(err.str(), HasSubstr("mixer [0]: MIX_RX_ADD fail : Input/output error"));
    // The unit's input limit (8) refuses the ninth input the same way.
    std::vector<std::pair<int, int>> nine;
    for (int i = 0; i < 9; ++i)
        nine.push_back({i, 1});
    EXPECT_THAT(command(mixer_out(0, tdm(7), nine), 3), ElementsAre(HasSubstr("insufficientResources")));
    EXPECT_THAT(device().mix(0, 7), IsEmpty());

    // The second add refused, and the clear of the half-built mix too: the
    // clear is owed, and made by the retry.
    sim.board.fail(Device::Mixer::kDevice, MIX_RX_ADD, EIO, SimBoard::Board::Times::once, 1);
    sim.board.fail(Device::Mixer::kDevice, Device::Mixer::MIX_RX_CLEAR, EIO, SimBoard::Board::Times::once, 1);
    EXPECT_THAT(command(mixer_out(0, tdm(8), {{1, 1}, {2, 2}}), 3), ElementsAre(HasSubstr("insufficientResources")));
    EXPECT_EQ(device().mix(0, 8), (Mix{{1, 1}})) << "refused";
    advance(1000);
    EXPECT_THAT(device().mix(0, 8), IsEmpty());
}

TEST_F(MixerTest, InputJoinsItsSummatorAndReleaseUndoesBoth)
{
    standard_units();
    LGCP::Command c = mixer_in(0, tdm(1));
    c.get_create().get_mixerIn().set_summator(tdm(3));
    EXPECT_THAT(command(c, 1), Contains("slot=1 success"));
    EXPECT_EQ(device().mix(0, 3), (Mix{{1, 32767}}));
    EXPECT_EQ(static_cast<Mixer::TdmInput*>(slots().at(1))->timeslot(), SimBoard::MixerDevice::timeslot(0, 1));

    // A refused summator add refuses the input and leaves nothing: no slot,
    // no entry, not even its echo canceller.
    c = mixer_in(0, tdm(2));
    c.get_create().get_mixerIn().set_summator(tdm(3));
    c.get_create().get_mixerIn().include_ecm().set_ec(true);
    for (int error : {EIO, ENODEV}) {
        sim.board.fail(Device::Mixer::kDevice, MIX_RX_ADD, error, SimBoard::Board::Times::once);
        EXPECT_THAT(command(c, 2), ElementsAre("slot=2 error insufficientResources"));
        EXPECT_EQ(slots().at(2), nullptr);
        EXPECT_EQ(device().mix(0, 3), (Mix{{1, 32767}}));
    }
    EXPECT_THAT(sim.board.ioctls(Device::Dtmf::kDevice, Device::Dtmf::CHANNEL_LMS_ON), IsEmpty());
    // An echo canceller refused as invalid refuses the input too: the entry
    // it made leaves the mix again.
    sim.board.fail(Device::Dtmf::kDevice, Device::Dtmf::CHANNEL_LMS_ON, EINVAL, SimBoard::Board::Times::once);
    EXPECT_THAT(command(c, 2), ElementsAre("slot=2 error insufficientResources"));
    EXPECT_EQ(slots().at(2), nullptr);
    EXPECT_EQ(device().mix(0, 3), (Mix{{1, 32767}}));
    // An rtp summator sends nothing.
    sim.board.clear_log();
    c = mixer_in(0, tdm(4));
    c.get_create().get_mixerIn().set_summator(rtp(3));
    EXPECT_THAT(command(c, 4), Contains("slot=4 success"));
    EXPECT_THAT(sent(MIX_RX_ADD), IsEmpty());
    EXPECT_THAT(err.str(), HasSubstr("mixer [0]: wrong summator coding !"));
    EXPECT_THAT(command(mixer_in(0, tdm(16)), 5), ElementsAre(HasSubstr("insufficientResources")));

    ASSERT_TRUE(HwMux::instance()->Connect(1, SimBoard::MixerDevice::timeslot(0, 1)));
    destroy(1);
    EXPECT_EQ(sent(MIX_RX_REMOVE), (std::vector<std::vector<uint32_t>>{words({0, 0, 3, 0, 0, 1, 0})}));
    EXPECT_THAT(device().mix(0, 3), IsEmpty());
    EXPECT_FALSE(sim.hal().carries(SimBoard::MixerDevice::timeslot(0, 1), 1));
    destroy(4);
    EXPECT_EQ(sent(MIX_RX_REMOVE).size(), 1u);
}

// An input answers only for the summator entry it made: not for one an
// output or another input holds (that keeps its gain and stays), not after
// a refused add, not after the output's mix was emptied. Summator 0 is a
// channel like any other.
TEST_F(MixerTest, AnInputRemovesOnlyTheEntryItMade)
{
    auto input = [](int channel, int summator) {
        LGCP::Command c = mixer_in(0, tdm(channel));
        c.get_create().get_mixerIn().set_summator(tdm(summator));
        return c;
    };
    standard_units();
    ASSERT_THAT(command(mixer_out(0, tdm(5), {{1, 16000}, {2, 20000}}), 1), Contains("slot=1 success"));
    sim.board.clear_log();
    EXPECT_THAT(command(input(1, 5), 2), Contains("slot=2 success"));
    EXPECT_THAT(sent(MIX_RX_ADD), IsEmpty());
    EXPECT_THAT(log.str(), HasSubstr("mixer [0]: channel 1 already in the mix of 5, left as it is"));
    destroy(2);
    EXPECT_THAT(sent(MIX_RX_REMOVE), IsEmpty());
    EXPECT_EQ(device().mix(0, 5), (Mix{{1, 16000}, {2, 20000}}));

    // A second input of one channel is refused: the first keeps its entry.
    EXPECT_THAT(command(input(3, 5), 2), Contains("slot=2 success"));
    EXPECT_THAT(command(input(3, 5), 3), ElementsAre("slot=3 error insufficientResources"));
    EXPECT_EQ(device().mix(0, 5), (Mix{{1, 16000}, {2, 20000}, {3, 32767}}));
    destroy(2);
    EXPECT_EQ(device().mix(0, 5), (Mix{{1, 16000}, {2, 20000}}));

    // A full mix (8 inputs) refuses the add, and so the input.
    std::vector<std::pair<int, int>> eight;
    for (int i = 0; i < 8; ++i)
        eight.push_back({i, 100 + i});
    ASSERT_THAT(command(mixer_out(0, tdm(6), eight), 4), Contains("slot=4 success"));
    sim.board.clear_log();
    EXPECT_THAT(command(input(9, 6), 5), ElementsAre("slot=5 error insufficientResources"));
    EXPECT_EQ(slots().at(5), nullptr);
    EXPECT_THAT(sent(MIX_RX_REMOVE), IsEmpty());
    EXPECT_EQ(device().mix(0, 6).size(), 8u);

    // An output built over an input's entry owns that mix from then on.
    EXPECT_THAT(command(input(4, 7), 5), Contains("slot=5 success"));
    ASSERT_THAT(command(mixer_out(0, tdm(7), {{4, 500}}), 6), Contains("slot=6 success"));
    destroy(5);
    EXPECT_EQ(device().mix(0, 7), (Mix{{4, 500}}));

    EXPECT_THAT(command(input(4, 0), 7), Contains("slot=7 success"));
    EXPECT_EQ(device().mix(0, 0), (Mix{{4, 32767}}));
    sim.board.clear_log();
    destroy(7);
    EXPECT_EQ(sent(MIX_RX_REMOVE), (std::vector<std::vector<uint32_t>>{words({0, 0, 0, 0, 0, 4, 0})}));
    EXPECT_THAT(device().mix(0, 0), IsEmpty());
}

// A time slot carries one source: a second input of a channel that a live
// input holds, or a second output of one that a live output holds, is
// refused before it changes any mix. An input and an output of
// one channel share it, and a destroy frees the channel for the next.
TEST_F(MixerTest, ALiveSlotKeepsItsChannelFromASecondOfItsKind)
{
    struct Row {
        bool first, second; // an output, else an input
        bool shared;
    };
    const Row rows[] = {{false, false, false}, {true, true, false}, {false, true, true}, {true, false, true}};
    standard_units();
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.first ? "output" : "input") + ", then " + (r.second ? "output" : "input"));
        auto make = [](bool output, int summator) {
            if (output)
                return mixer_out(0, tdm(3), {{summator, 100}});
            LGCP::Command c = mixer_in(0, tdm(3));
            c.get_create().get_mixerIn().set_summator(tdm(summator));
            return c;
        };
        ASSERT_THAT(command(make(r.first, 5), 1), ElementsAre("slot=1 success"));
        const Mix three = device().mix(0, 3), five = device().mix(0, 5);
        sim.board.clear_log();
        if (r.shared) {
            EXPECT_THAT(command(make(r.second, 6), 2), ElementsAre("slot=2 success"));
        } else {
            EXPECT_THAT(command(make(r.second, 6), 2), ElementsAre("slot=2 error insufficientResources"));
            EXPECT_THAT(sent(MIX_RX_CLEAR), IsEmpty());
            EXPECT_THAT(sent(MIX_RX_ADD), IsEmpty());
            EXPECT_EQ(device().mix(0, 3), three);
            EXPECT_EQ(device().mix(0, 5), five);
            EXPECT_THAT(err.str(), HasSubstr(std::string("mixer [0]: channel 3 has a live ") +
                                             (r.second ? "output" : "input") + " already"));
            destroy(1);
            EXPECT_THAT(command(make(r.second, 6), 2), ElementsAre("slot=2 success"));
        }
        slots().OnDisconnect();
    }
}

TEST_F(MixerTest, EchoModeAndOutputReleaseDuringADigitSequence)
{
    using namespace Device::Dtmf;
    standard_units();
    command(echo_input(1, false, true), 1);
    command(echo_input(2, false, false), 2);
    EXPECT_EQ(sim.board.ioctls(kDevice, CHANNEL_LMS_ON).at(0).in.at(0), uint32_t(SimBoard::MixerDevice::timeslot(0, 1)));
    EXPECT_EQ(sim.board.ioctls(kDevice, CHANNEL_LMS_OFF).at(0).in.at(0), uint32_t(SimBoard::MixerDevice::timeslot(0, 2)));

    command(mixer_out(0, tdm(3)), 3);
    command(digits(3), 3);
    dtmf().clear_dials();
    destroy(3);
    EXPECT_EQ(sent(MIX_RX_CLEAR).back(), words({0, 0, 3}));
    ASSERT_EQ(dtmf().dials().size(), 2u); // silence, then off
    EXPECT_FALSE(dtmf().dials()[0].off());
    EXPECT_TRUE(dtmf().dials()[1].off());
    EXPECT_THAT(log.str(), HasSubstr("mixer [0]: clear tdm output 3"));
}

TEST_F(MixerTest, IoctlTablesOfBothKinds)
{
    using P = LGCP::IoctlParams;
    standard_units();
    command(mixer_in(0, tdm(1)), 1);
    command(mixer_out(0, tdm(2)), 2);
    struct Row {
        P::Choices which;
        bool input, output; // answered success
    };
    const Row rows[] = {
        {P::e_echoSuppressor, true, false}, {P::e_dtmf_enable, true, false},     {P::e_dtmf_disable, false, false},
        {P::e_dtmf_reject_enable, true, false}, {P::e_dtmf_reject_disable, false, true},
        {P::e_iva_params, true, false},     {P::e_rx_gain, true, false},         {P::e_tone_gen_disable, false, true},
        {P::e_delays, true, true},          {P::e_sd_params, true, true},        {P::e_selcal, false, false},
        {P::e_encoder_mode, false, false},
    };
    for (const Row& r : rows) {
        LGCP::Command c = ioctl_command([&](P& p) { p.select(r.which); });
        EXPECT_EQ(command(c, 1).at(0), r.input ? "slot=1 success" : "slot=1 error unsupported") << r.which;
        EXPECT_EQ(command(c, 2).at(0), r.output ? "slot=2 success" : "slot=2 error unsupported") << r.which;
    }

    // A tone: the running one off, then {freq, 0, amp, 0}.
    dtmf().clear_dials();
    command(ioctl_command([](P& p) {
                p.get_tone_gen_enable().set_freq(0x10425);
                p.get_tone_gen_enable().set_amp(300);
            }),
            2);
    ASSERT_FALSE(dtmf().dials().empty());
    const auto& tone = dtmf().dials().back();
    EXPECT_EQ(tone.freq1, 0x0425);
    EXPECT_EQ(tone.freq2 | tone.amp2, 0);
    EXPECT_EQ(tone.amp1, 300);

    // A selcal delay is logged and sent as 0.
    command(ioctl_command([](P& p) {
                p.get_delays().set_tx(20);
                p.get_delays().set_selcal(9);
            }),
            1);
    EXPECT_THAT(err.str(), HasSubstr("mixer [0]: error: selcal delay isn't supported for mixer!!! Set to zero."));
    EXPECT_THAT(log.str(), HasSubstr("DSPROC_CONFIGURE DELAYS ts=4097 rx=0 tx=20 selcal=0"));

    // Detections reach the controller from inputs only, the end of a digit
    // sequence from outputs only.
    for (int n : {1, 2})
        command(ioctl_command([](P& p) { p.set_dtmf_enable(true); }), n);
    dtmf().detect(uint32_t(SimBoard::MixerDevice::timeslot(0, 1)), 5, 7);
    dtmf().detect(uint32_t(SimBoard::MixerDevice::timeslot(0, 2)), 6, 7);
    wake();
    EXPECT_THAT(controller(), ElementsAre("slot=1 tonec { timestamp 7, event dtmf : 5}"));
    for (int n : {1, 2})
        command(digits(1), n);
    for (int i = 0; i < 4; ++i)
        advance(100);
    EXPECT_THAT(controller(), ElementsAre("slot=2 tonec { timestamp 0, event dtmfDone : NULL}"));

}


// Each command that needs a device answers what the device did: an error
// while the device is gone or when it refuses the request, success when it
// took it. Fresh slots for each row, so no row leans on another's tone.
TEST_F(MixerTest, CommandsAnswerWhatTheirDeviceDid)
{
    using P = LGCP::IoctlParams;
    enum Kind { input = 1, output = 2, both = 3 };
    enum class Fault { missing, refused, none };
    struct Row {
        const char* name;
        int kinds;
        const char* device;
        unsigned long request;
        std::function<void(P&)> fill;
    };
    const Row rows[] = {
        {"rx-gain", input, Device::Dsp::kDevice, Device::Dsp::DSPROC_CONFIGURE,
         [](P& p) { p.get_rx_gain().set_gainDB(-6); }},
        {"tone-filter", both, Device::Dsp::kDevice, Device::Dsp::DSPROC_CONFIGURE,
         [](P& p) { p.get_tone_filter().set_freq(2100), p.get_tone_filter().set_enable(true); }},
        {"delays", both, Device::Dsp::kDevice, Device::Dsp::DSPROC_CONFIGURE, [](P& p) { p.get_delays().set_tx(20); }},
        {"tone-gen-enable", output, Device::Dtmf::kDevice, Device::Dtmf::DTMF_DIAL,
         [](P& p) { p.get_tone_gen_enable().set_freq(425), p.get_tone_gen_enable().set_amp(300); }},
        {"translateDTMF", both, Device::Dtmf::kDevice, Device::Dtmf::DTMF_DIAL,
         [](P& p) { p.get_translateDTMF().get_digits().push_back(LGCP::DualTone()); }},
    };
    standard_units();
    int n = 0;
    for (const Row& r : rows)
        for (Kind kind : {input, output})
            for (Fault fault : {Fault::missing, Fault::refused, Fault::none}) {
                if (!(r.kinds & kind))
                    continue;
                SCOPED_TRACE(std::string(r.name) + (kind == input ? " on an input, " : " on an output, ") +
                             (fault == Fault::missing ? "device gone" : fault == Fault::refused ? "EIO" : "healthy"));
                ASSERT_THAT(command(kind == input ? mixer_in(0, tdm(1)) : mixer_out(0, tdm(1)), ++n),
                            Contains(HasSubstr("success")));
                fault == Fault::missing   ? remove(r.device)
                : fault == Fault::refused ? sim.board.fail(r.device, r.request, EIO)
                                          : void();
                const char* answer = fault == Fault::none ? "success" : "error";
                EXPECT_THAT(command(ioctl_command(r.fill), n).at(0), HasSubstr(answer));
                sim.board.clear_failures();
                destroy(n);
            }
}

// An echo canceller given at create is held when the tone device is gone or
// refuses it: the input is made, and the device is told once it takes it.
TEST_F(MixerTest, EchoCancellerGivenAtCreateReachesTheDeviceOnceItTakesIt)
{
    using namespace Device::Dtmf;
    standard_units();
    for (bool gone : {true, false}) {
        SCOPED_TRACE(gone ? "device gone" : "EIO");
        gone ? remove(kDevice) : sim.board.fail(kDevice, CHANNEL_LMS_ON, EIO);
        EXPECT_THAT(command(echo_input(1, true, false), 1), Contains("slot=1 success"));
        sim.board.clear_failures();
        sim.board.clear_log();
        advance(1000);
        auto told = sim.board.ioctls(kDevice, CHANNEL_LMS_ON);
        EXPECT_TRUE(told.size() == 1 && told[0].error == 0 &&
                    told[0].in.at(0) == uint32_t(SimBoard::MixerDevice::timeslot(0, 1)));
        destroy(1);
    }
}


// Ends that the mixer refused (MIX_RX_REMOVE of a destroyed input,
// MIX_RX_CLEAR of a destroyed output) are owed: the destroy answers
// success, and the device is told again by the next request on it, or by
// the retry once it opens again. Nothing is retried once nothing is owed.
TEST_F(MixerTest, RefusedEndsAreOwedUntilTheMixerTakesThem)
{
    using Times = SimBoard::Board::Times;
    struct Row {
        bool output;
        bool unopenable; // for a while, else EIO once
        const char* line;
    };
    const Row rows[] = {
        {false, false, "mixer [0]: MIX_RX_REMOVE rx.number=3 tx.number=1 fail : Input/output error"},
        {false, true, "mixer [0]: MIX_RX_REMOVE rx.number=3 tx.number=1 fail : No such file or directory"},
        {true, false, "mixer [0]: MIX_RX_CLEAR dev_no=0 type=0 number=3 fail : Input/output error"},
        {true, true, "mixer [0]: MIX_RX_CLEAR dev_no=0 type=0 number=3 fail : No such file or directory"},
    };
    standard_units();
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.output ? "output" : "input") + (r.unopenable ? ", unopenable" : ", EIO"));
        LGCP::Command c = mixer_in(0, tdm(1));
        c.get_create().get_mixerIn().set_summator(tdm(3));
        ASSERT_THAT(command(r.output ? mixer_out(0, tdm(3), {{1, 100}, {2, 200}}) : c, 1), Contains("slot=1 success"));
        const Mix before = device().mix(0, 3);
        err.clear();
        if (r.unopenable)
            sim.board.fail(Device::Mixer::kDevice, SimBoard::Op::open, ENOENT, Times::always);
        else
            sim.board.fail(Device::Mixer::kDevice, r.output ? MIX_RX_CLEAR : MIX_RX_REMOVE, EIO, Times::once);
        EXPECT_THAT(destroy(1), Contains("slot=1 success"));
        EXPECT_THAT(err.str(), HasSubstr(r.line));
        EXPECT_EQ(device().mix(0, 3), before);
        if (r.unopenable) {
            advance(1000);
            EXPECT_EQ(device().mix(0, 3), before);
            sim.board.clear_failures();
            advance(1000);
            // One line for the one outage, none at the requests after it.
            query();
            query();
            EXPECT_EQ(count_of(err.str(), "mixer: device back"), 1u) << err.str();
            EXPECT_EQ(count_of(err.str(), "mixer: device back after 2 failed open(s)\n"), 1u);
        } else {
            query(); // any request on the mixer
        }
        EXPECT_THAT(device().mix(0, 3), IsEmpty());
        EXPECT_EQ(asked_next_period(Device::Mixer::kDevice), 0u);
    }
}

// An end that the mixer refuses as invalid, at the destroy or at a retry of
// what was owed, is given up: it would be refused for ever.
TEST_F(MixerTest, AnEndRefusedAsInvalidIsGivenUp)
{
    using Times = SimBoard::Board::Times;
    standard_units();
    for (bool output : {false, true}) {
        for (bool owedFirst : {false, true}) {
            SCOPED_TRACE(std::string(output ? "output" : "input") + (owedFirst ? ", owed first" : ""));
            LGCP::Command in = mixer_in(0, tdm(1));
            in.get_create().get_mixerIn().set_summator(tdm(3));
            ASSERT_THAT(command(output ? mixer_out(0, tdm(3), {{1, 100}}) : in, 1), Contains("slot=1 success"));
            const unsigned long request = output ? MIX_RX_CLEAR : MIX_RX_REMOVE;
            sim.board.fail(Device::Mixer::kDevice, request, owedFirst ? EIO : EINVAL, Times::always);
            EXPECT_THAT(destroy(1), Contains("slot=1 success"));
            if (owedFirst) {
                sim.board.clear_failures();
                sim.board.fail(Device::Mixer::kDevice, request, EINVAL, Times::always);
                advance(1000);
            }
            EXPECT_EQ(asked_next_period(Device::Mixer::kDevice), 0u);
            sim.board.clear_failures();
            // Given up, not made: the next output of the channel starts anew.
            ASSERT_THAT(command(mixer_out(0, tdm(3), {}), 1), Contains("slot=1 success"));
            destroy(1);
        }
    }
}

// Random creates and destroys of outputs and inputs with random refusals
// of the mixer (once or for a while, its open included), on few channels
// so that ends meet new slots. Every input that a create answered joined
// its summator's mix; it stays there until an output on that channel
// empties the mix; and whenever the faults are gone and the retry ran, the
// board's mixes are exactly what the live slots hold.
TEST_F(MixerTest, RandomEndsLeaveExactlyWhatLiveSlotsHold)
{
    using Times = SimBoard::Board::Times;
    using Pairs = std::map<std::pair<int, int>, int32_t>;
    const int kChannels = 3;
    const int kNumbers = 10;
    const unsigned long requests[] = {MIX_RX_ADD, MIX_RX_REMOVE, MIX_RX_CLEAR, Device::Mixer::MIX_TDM};
    struct Live {
        bool output;
        int channel;
        std::map<int, int> mix; // an output's
        int summator;           // an input's
        bool owns;              // an input's entry
    };
    device().add_unit(0, kChannels, 4);
    query();
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::mt19937 rng(seed);
        auto pick = [&](int n) { return static_cast<int>(rng() % unsigned(n)); };
        std::map<int, Live> live;
        // An output's create or destroy empties its channel's mix. A create
        // that failed may have: only the inputs can tell.
        auto emptied = [&](int channel, bool surely) {
            for (auto& l : live)
                if (!l.second.output && l.second.summator == channel)
                    l.second.owns = l.second.owns && !surely &&
                                    static_cast<Mixer::TdmInput*>(slots().at(unsigned(l.first)))->summator() >= 0;
        };
        auto taken = [&](bool output, int channel) {
            for (auto& l : live)
                if (l.second.output == output && l.second.channel == channel)
                    return true;
            return false;
        };
        auto holds = [&](int rx, int tx) {
            for (auto& l : live)
                if (l.second.output ? l.second.channel == rx && l.second.mix.count(tx)
                                    : l.second.owns && l.second.summator == rx && l.second.channel == tx)
                    return true;
            return false;
        };
        for (int round = 0; round < 8; ++round) {
            SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
            for (int step = 0; step < 30; ++step) {
                int what = pick(20), n = 1 + pick(kNumbers);
                std::string success = "slot=" + std::to_string(n) + " success";
                if (what < 4) {
                    unsigned long r = requests[pick(4)];
                    pick(2) ? sim.board.fail(Device::Mixer::kDevice, r, pick(2) ? EIO : ENODEV, Times::once)
                            : sim.board.fail(Device::Mixer::kDevice, r, pick(3) ? EIO : 0, Times::always);
                } else if (what == 4) {
                    sim.board.fail(Device::Mixer::kDevice, SimBoard::Op::open, pick(2) ? ENOENT : 0, Times::always);
                } else if (what < 7) {
                    advance(unsigned(pick(1500)));
                } else if (live.count(n)) {
                    if (what >= 12)
                        continue;
                    destroy(n);
                    if (live[n].output)
                        emptied(live[n].channel, true);
                    live.erase(n);
                } else if (what < 13) {
                    // One output a channel: a second, which would take the
                    // first's mix, is refused before it touches the mixer.
                    // An input channel past the unit's makes the create fail half way.
                    int channel = pick(kChannels);
                    std::map<int, int> mix;
                    for (int i = pick(3); i > 0; --i)
                        mix[pick(kChannels + 1)] = 1 + pick(30000);
                    bool made = command(mixer_out(0, tdm(channel), {mix.begin(), mix.end()}), n).at(0) == success;
                    if (taken(true, channel)) {
                        EXPECT_FALSE(made) << "step " << step;
                        continue;
                    }
                    emptied(channel, made);
                    if (made)
                        live[n] = Live{true, channel, mix.empty() ? std::map<int, int>{{channel, 32767}} : mix, -1,
                                       false};
                } else {
                    int channel = pick(kChannels), summator = pick(kChannels);
                    LGCP::Command c = mixer_in(0, tdm(channel));
                    c.get_create().get_mixerIn().set_summator(tdm(summator));
                    bool held = holds(summator, channel);
                    bool made = command(c, n).at(0) == success;
                    EXPECT_FALSE(made && taken(false, channel)) << "a second input, step " << step;
                    if (!made)
                        continue;
                    EXPECT_EQ(device().mix(0, summator).count(channel), 1u) << "step " << step;
                    live[n] = Live{false, channel, {}, summator, !held};
                }
            }
            sim.board.clear_failures();
            advance(1000);
            EXPECT_EQ(asked_next_period(Device::Mixer::kDevice), 0u);
            Pairs board, held;
            for (int rx = 0; rx < kChannels; ++rx)
                for (auto& e : device().mix(0, rx))
                    board[{rx, e.first}] = e.second;
            for (auto& l : live) {
                for (auto& in : l.second.mix)
                    held[{l.second.channel, in.first}] = in.second;
                if (l.second.owns)
                    held[{l.second.summator, l.second.channel}] = 32767;
            }
            ASSERT_EQ(board, held);
        }
        slots().OnDisconnect();
    }
}

} // namespace

// An input and an output of one channel share its time slot, on the switch
// and on the tone and DSP devices: the output's destroy leaves what the
// live input holds there (its connection's path, its detector and
// features) on.
TEST_F(MixerTest, AnOutputLeavesWhatTheInputOfItsChannelHolds)
{
    standard_units();
    const int ts = SimBoard::MixerDevice::timeslot(0, 3);
    ASSERT_THAT(command(mixer_in(0, tdm(3)), 1), Contains("slot=1 success"));
    ASSERT_THAT(command(mixer_out(0, tdm(3)), 2), Contains("slot=2 success"));
    for (int n : {1, 2}) {
        LGCP::Command vad;
        vad.get_ioctl().set_vad_enable(true);
        ASSERT_THAT(command(vad, n), ElementsAre(HasSubstr("success")));
    }
    LGCP::Command detector;
    detector.get_ioctl().set_dtmf_enable(true);
    ASSERT_THAT(command(detector, 1), ElementsAre(HasSubstr("success")));
    // Trunk 0 time slot 1 (channel 1) feeds the input.
    LGCP::Command trunk;
    trunk.get_create().get_trunk().set_trunk(0), trunk.get_create().get_trunk().set_timeslot(1);
    ASSERT_THAT(command(trunk, 3), Contains("slot=3 success"));
    ASSERT_THAT(command(simple(C::e_connect, 1), 3), Contains("slot=3 success"));

    destroy(2);
    EXPECT_TRUE(sim.hal().carries(ts, 1));
    EXPECT_TRUE(dsp().feature(uint32_t(ts), Device::Dsp::kVad).on);
    EXPECT_EQ(dtmf().detect(uint32_t(ts), 5, 77), 1u);
    destroy(1);
    EXPECT_FALSE(sim.hal().carries(ts, 1));
    EXPECT_FALSE(dsp().feature(uint32_t(ts), Device::Dsp::kVad).on);
}
