// The isdn, ats-qsig and ats-qsig-b slots through the slot table, on the
// simulated controller and DSP data channels.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/signalling/signalling_slot_support.h"

using namespace vbtest;
using testing::ElementsAre;
using testing::HasSubstr;
namespace Mcc = Device::Mcc;
namespace DspData = Device::DspData;

namespace {

struct IsdnSlotTest : ::testing::Test, SignallingWorld {
    // The slot made on 1 joined both ways to trunk time slot {0, 16} on 2
    // and started.
    Texts start(const C& create)
    {
        Texts sent = command(create, 1);
        command(trunk_slot(0, 16), 2);
        command(connect(1), 2);
        command(connect(2), 1);
        for (auto& t : command(simple(C::e_activate), 1))
            sent.push_back(t);
        for (auto& t : wait(10))
            sent.push_back(t);
        return sent;
    }
    Texts establish(const C& create)
    {
        start(create);
        from(16);
        to(16, "00 01 73");
        return wait(10);
    }
    IsdnSlot& isdn_slot(unsigned n = 1) { return at<IsdnSlot>(n); }
};

TEST_F(IsdnSlotTest, CreationAllocatesItsChannelOrMakesNoSlot)
{
    struct Case {
        C create;
        uint32_t type;
    } cases[] = {{isdn(true, 3), Mcc::kBri}, {isdn(false, 2, true), Mcc::kData}};
    for (const Case& c : cases) {
        sim.board.clear_log();
        EXPECT_THAT(command(c.create, 1), testing::Contains("slot=1 success"));
        auto alloc = sim.board.ioctls(Mcc::kDevice, Mcc::MCC_ALLOCATE);
        ASSERT_EQ(alloc.size(), 1u);
        EXPECT_EQ(alloc[0].out, (std::vector<uint32_t>{c.type, 512, 0, 1, 1}));
        IsdnSlot& s = isdn_slot();
        EXPECT_TRUE(sim.mcc().find(s.IGetTransmitChannel()));
        EXPECT_EQ(s.IGetReceiveChannel(), s.IGetTransmitChannel());
        EXPECT_EQ(s.lapd().bri, c.type == Mcc::kBri);
        EXPECT_EQ(s.lapd().trunk, c.create.get_create().get_isdn().get_trunk().getValue());
        EXPECT_EQ(s.lapd().side, c.type == Mcc::kBri ? ISDN::Side::user : ISDN::Side::network);
        EXPECT_THAT(command(simple(C::e_ioctl), 1), ElementsAre("slot=1 error unsupported"));
        command(simple(C::e_destroy), 1);
    }

    // A B channel of subslot 1 is the driver's subslot 0.
    command(ats_qsig(), 3);
    EXPECT_THAT(command(ats_qsig_b(3, 1), 4), testing::Contains("slot=4 success"));
    auto add = sim.board.ioctls(DspData::kDevice, DspData::DSP_DATA_ADD_B);
    ASSERT_EQ(add.size(), 1u);
    EXPECT_EQ(add[0].in, (std::vector<uint32_t>{0, uint32_t(-1)}));
    EXPECT_EQ(int(add[0].out.at(1)), slots().at(4)->IGetTransmitChannel());
    EXPECT_EQ(isdn_slot(3).lapd().trunk, isdn_slot(3).IGetTransmitChannel());

    struct Refusal {
        std::function<void()> arrange;
        C create;
        std::string line;
    } refusals[] = {
        {[this] { sim.board.fail(Mcc::kDevice, SimBoard::Op::open, EMFILE); }, isdn(true),
         "mcc/isdn: fail to open MCC device: Too many open files\n"},
        {[this] { sim.board.fail(Mcc::kDevice, Mcc::MCC_ALLOCATE, ENOSPC); }, isdn(false),
         "mcc/isdn: MCC_ALLOCATE fail: No space left on device\n"},
        {[this] { sim.board.fail(DspData::kDevice, SimBoard::Op::open, ENODEV); }, ats_qsig(),
         "mcc/isdn: fail to open dsp-data device: No such device\n"},
        {[this] { sim.board.fail(DspData::kDevice, DspData::DSP_DATA_ADD_B, EBUSY); }, ats_qsig_b(3, 2),
         "ats-qsig: add B channel fail !!!\n"},
        {[this] { sim.board.fail(Mcc::kDevice, Mcc::MCC_TIMESLOT, EIO); }, isdn(true),
         "mcc/isdn: no time slot for the channel\n"},
        {[this] { sim.board.fail(DspData::kDevice, DspData::DSP_DATA_TIMESLOT, EIO); }, ats_qsig(),
         "mcc/isdn: no time slot for the channel\n"},
        {[] {}, ats_qsig_b(4, 1), ""},
        {[] {}, ats_qsig_b(9, 1), ""},
    };
    for (const Refusal& r : refusals) {
        err.clear();
        size_t held = sim.mcc().allocated() + dsp_data().opens();
        r.arrange();
        EXPECT_THAT(command(r.create, 5), ElementsAre("slot=5 error insufficientResources"));
        EXPECT_EQ(err.str(), r.line);
        EXPECT_EQ(sim.mcc().allocated() + dsp_data().opens(), held);
    }
    // Beyond what the decoder delivers.
    EXPECT_EQ(isdnFactory.NewSlot(ats_qsig_b(3, 0).get_create()), nullptr);
}

TEST_F(IsdnSlotTest, LinkCarriesLayer3EachWay)
{
    for (const C& create : {isdn(false), ats_qsig()}) {
        Texts up = establish(create);
        EXPECT_THAT(names(up), ElementsAre("slot=1 ioctl isdnLinkInfo", "slot=1 activated"));
        EXPECT_THAT(command(user_data("08 02 00 01 05"), 1), ElementsAre("slot=1 success"));
        EXPECT_THAT(from(16), ElementsAre("00 01 00 00 08 02 00 01 05"));
        to(16, "02 01 00 02 08 02 80 01 07");
        EXPECT_THAT(wait(), ElementsAre("slot=1 userData '08 02 80 01 07'H"));
        EXPECT_THAT(from(16), ElementsAre("02 01 01 02"));
        EXPECT_TRUE(wait(3000).empty()) << "no periodic report";
        command(simple(C::e_destroy), 1);
        command(simple(C::e_destroy), 2);
    }
}

// A slot number is given again once its slot is gone: the B channel of the
// old slot must leave the new one's B channels alone.
TEST_F(IsdnSlotTest, BChannelsKeepTheirOwnSignallingSlot)
{
    command(ats_qsig(), 6);
    command(ats_qsig_b(6, 1), 7);
    EXPECT_THAT(command(simple(C::e_destroy), 6), ElementsAre("slot=6 success"));
    command(ats_qsig(), 6);
    command(ats_qsig_b(6, 1), 8);
    const SimBoard::DspDataDevice::Open* fresh = dsp_data().find(isdn_slot(6).IGetTransmitChannel());
    ASSERT_TRUE(fresh);
    sim.board.clear_log();
    log.clear();
    EXPECT_THAT(command(simple(C::e_destroy), 7), ElementsAre("slot=7 success"));
    EXPECT_THAT(log.str(), HasSubstr("ats-qsig-b: Can't find signalling slot\n"));
    EXPECT_TRUE(sim.board.ioctls(DspData::kDevice, DspData::DSP_DATA_REMOVE_B).empty());
    EXPECT_TRUE(fresh->b[0]) << "the new slot's B channel stays";
    EXPECT_THAT(command(simple(C::e_destroy), 8), ElementsAre("slot=8 success"));
    EXPECT_FALSE(dsp_data().find(isdn_slot(6).IGetTransmitChannel())->b[0]);
}

// The driver frees the B channels with their data channel, whether the
// signalling slot lost it or went, and may give their numbers again: the
// connections of both go at once, a connection with such a B channel is
// refused, not answered success, and its destroy succeeds and leaves the
// switch output of its old number alone.
TEST_F(IsdnSlotTest, BChannelsGoWithTheirDataChannel)
{
    command(trunk_slot(0, 16), 2);
    command(trunk_slot(0, 17), 5);
    for (bool lost : {true, false}) {
        SCOPED_TRACE(lost ? "lost" : "gone");
        command(ats_qsig(), 3);
        command(ats_qsig_b(3, 1), 4);
        const int d = slots().at(3)->IGetTransmitChannel(), b = slots().at(4)->IGetTransmitChannel();
        command(connect(4), 2), command(connect(2), 4), command(connect(3), 5);
        ASSERT_TRUE(sim.hal().carries(b, 16) && sim.hal().carries(16, b) && sim.hal().carries(d, 17));
        EXPECT_NE(HandedChannelIndex::instance().HolderOf(b), nullptr) << "the B channel is handed out";
        if (lost)
            sim.board.channels(DspData::kDevice).at(0)->hang_up();
        else
            command(simple(C::e_destroy), 3);
        wait(10);
        EXPECT_FALSE(sim.hal().carries(b, 16) || sim.hal().carries(16, b) || sim.hal().carries(d, 17));
        EXPECT_THAT(command(connect(4), 2), ElementsAre("slot=2 error internal"));
        EXPECT_THAT(command(connect(2), 4), ElementsAre("slot=4 error internal"));
        sim.board.clear_log();
        EXPECT_THAT(command(simple(C::e_destroy), 4), ElementsAre("slot=4 success"));
        for (const auto& r : sim.board.log())
            EXPECT_FALSE(r.device == Device::Hal::kDevice && !r.in.empty() && int(r.in[0]) == b);
        command(simple(C::e_destroy), 3);
    }
}

// A B channel's removal that the driver refuses is owed, as every end the
// board refuses: the destroy answers success with one line, and the
// subslot is the driver's again once it takes the removal, at the next
// request on the data channel or by the retry. One refused as invalid is
// given up, at once or at its retry; the data channel's end forgets what
// is owed. An owed removal is told before a later one.
TEST_F(IsdnSlotTest, ABChannelRemovalTheDriverRefusesIsOwed)
{
    enum Then { nextRequest, laterRemoval, retry, invalid, invalidAtRetry, dataChannelGone };
    for (Then then : {nextRequest, laterRemoval, retry, invalid, invalidAtRetry, dataChannelGone}) {
        SCOPED_TRACE(then);
        command(ats_qsig(), 3);
        command(ats_qsig_b(3, 1), 4);
        if (then == laterRemoval)
            command(ats_qsig_b(3, 2), 6);
        const int d = slots().at(3)->IGetTransmitChannel();
        auto taken = [&] {
            const SimBoard::DspDataDevice::Open* open = dsp_data().find(d);
            return open && open->b[0];
        };
        auto removals = [&] { return sim.board.ioctls(DspData::kDevice, DspData::DSP_DATA_REMOVE_B).size(); };
        sim.board.clear_log();
        sim.board.fail(DspData::kDevice, DspData::DSP_DATA_REMOVE_B, then == invalid ? EINVAL : EIO);
        err.clear();
        EXPECT_THAT(command(simple(C::e_destroy), 4), ElementsAre("slot=4 success"));
        EXPECT_TRUE(taken());
        switch (then) {
        case nextRequest:
            EXPECT_THAT(command(ats_qsig_b(3, 1), 5), ElementsAre("slot=5 success"));
            EXPECT_EQ(removals(), 2u);
            break;
        case laterRemoval: {
            EXPECT_THAT(command(simple(C::e_destroy), 6), ElementsAre("slot=6 success"));
            std::vector<uint32_t> subslots;
            for (const auto& r : sim.board.ioctls(DspData::kDevice, DspData::DSP_DATA_REMOVE_B))
                subslots.push_back(uint32_t(r.in.at(0)));
            EXPECT_THAT(subslots, ElementsAre(0u, 0u, 1u));
            EXPECT_FALSE(taken());
            break;
        }
        case retry:
            wait(1100);
            EXPECT_FALSE(taken());
            break;
        case invalidAtRetry:
            sim.board.fail(DspData::kDevice, DspData::DSP_DATA_REMOVE_B, EINVAL);
            wait(1100);
            EXPECT_EQ(removals(), 2u);
            wait(3000);
            EXPECT_EQ(removals(), 2u) << "asked again";
            break;
        case invalid:
        case dataChannelGone:
            if (then == dataChannelGone)
                sim.board.channels(DspData::kDevice).at(0)->hang_up();
            wait(3000);
            EXPECT_EQ(removals(), 1u) << "asked again";
            break;
        }
        const std::string line = err.str().substr(0, err.str().find('\n') + 1);
        EXPECT_THAT(line, HasSubstr(then == invalid ? "remove B channel 0 fail: Invalid argument, given up"
                                                    : "remove B channel 0 fail: Input/output error, owed"));
        if (then == invalidAtRetry) {
            EXPECT_THAT(err.str().substr(line.size()), testing::EndsWith("remove B channel 0 fail: Invalid argument, given up\n"));
            const std::string all = err.str();
            EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 2);
        } else if (then != dataChannelGone) {
            EXPECT_EQ(err.str(), line);
        }
        command(simple(C::e_destroy), 5);
        command(simple(C::e_destroy), 3);
    }
}

// A channel the driver ended would be reported on every pass; the slot
// carries nothing more, and says so.
TEST_F(IsdnSlotTest, EndedChannelIsLeftWithOneLine)
{
    for (bool qsig : {false, true}) {
        start(qsig ? ats_qsig() : isdn(false));
        err.clear();
        int channel = isdn_slot().IGetTransmitChannel();
        if (qsig)
            sim.board.channels(DspData::kDevice).at(0)->hang_up();
        else
            sim.mcc().hang_up(channel);
        wait(10);
        EXPECT_EQ(err.str(), "isdn-slot[" + std::to_string(channel) + "]: channel lost (end of file)\n");
        EXPECT_FALSE(isdn_slot().is_open());
        EXPECT_THAT(command(user_data("08 01 05"), 1), ElementsAre("slot=1 error internal"));
        EXPECT_THAT(names(wait(5000)), testing::Contains("slot=1 deactivated")) << "the link gives up";
        command(simple(C::e_destroy), 1);
        command(simple(C::e_destroy), 2);
    }
}

// With no packet buffer free a received frame is read and dropped, with
// one line, rather than left readable for the loop to spin on.
TEST_F(IsdnSlotTest, EmptyPoolDropsFramesWithOneLineThenRecovers)
{
    for (bool qsig : {false, true}) {
        SCOPED_TRACE(qsig);
        establish(qsig ? ats_qsig() : isdn(false));
        int channel = isdn_slot().IGetTransmitChannel();
        from(16);
        err.clear();
        {
            PoolDrain drain;
            to(16, "02 01 00 02 08 02 80 01 07");
            to(16, "02 01 00 02 08 02 80 01 08");
            wait(10);
        }
        EXPECT_EQ(err.str(), "isdn-slot[" + std::to_string(channel) + "]: no packet buffer, received frames dropped\n");
        to(16, "02 01 00 02 08 02 80 01 09");
        EXPECT_THAT(only(wait(10), "slot=1 userData"), ElementsAre("slot=1 userData '08 02 80 01 09'H"));
        command(simple(C::e_destroy), 1);
        command(simple(C::e_destroy), 2);
    }
}

// With 7 frames unacknowledged and 128 waiting, a further message is
// refused rather than answered success and lost; an acknowledgement makes
// room again.
TEST_F(IsdnSlotTest, AFullLinkRefusesTheMessage)
{
    const unsigned before = PacketQuota::queued();
    for (const C& create : {isdn(false), ats_qsig()}) {
        establish(create);
        from(16);
        for (unsigned i = 0; i < 7 + 128; ++i)
            ASSERT_THAT(command(user_data("08 01 05"), 1), ElementsAre("slot=1 success")) << i;
        EXPECT_THAT(command(user_data("08 01 06"), 1), ElementsAre("slot=1 error insufficientResources"));
        EXPECT_EQ(isdn_slot().lapd().ack_count() + isdn_slot().lapd().out_count(), 7u + 128u);
        EXPECT_EQ(PacketQuota::queued(), before + 7 + 128);
        EXPECT_EQ(from(16).size(), 7u) << "the window";
        to(16, "00 01 01 0E"); // RR, N(R) 7
        wait();
        EXPECT_EQ(from(16).size(), 7u);
        EXPECT_THAT(command(user_data("08 01 07"), 1), ElementsAre("slot=1 success"));
        command(simple(C::e_destroy), 1);
        command(simple(C::e_destroy), 2);
        wait(10);
        EXPECT_EQ(PacketQuota::queued(), before);
    }
}

TEST_F(IsdnSlotTest, BlockedAndShortWritesAreNotSent)
{
    establish(isdn(false));
    int channel = isdn_slot().IGetTransmitChannel();
    sim.mcc().set_room(channel, 0);
    command(user_data("08 01 05"), 1);
    EXPECT_FALSE(isdn_slot().is_ready());
    EXPECT_EQ(isdn_slot().lapd().out_count(), 1u);
    sim.mcc().set_room(channel, SimBoard::MccController::kUnlimited);
    wait();
    EXPECT_TRUE(isdn_slot().is_ready());
    EXPECT_THAT(from(16), ElementsAre("00 01 00 00 08 01 05"));

    sim.mcc().set_room(channel, 3);
    command(user_data("08 01 06"), 1);
    EXPECT_THAT(err.str(), HasSubstr("short write: 3 of 7 octets"));
    EXPECT_EQ(isdn_slot().lapd().ack_count() + isdn_slot().lapd().out_count(), 2u) << "kept for sending";
}

} // namespace
