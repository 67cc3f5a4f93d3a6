// Radio slots whose extension session ("/dev/rtp_ext") or RTP session
// ("/dev/rtp") hangs up or fails its reads, with the loop running: one line,
// one abort with the errno of the end, the radio's timer stopped (no
// status packets, no partner-lost aborts), radio commands refused; a
// moment's failure or an empty payload changes nothing; a codec change
// brings a lost extension session back, with the holder's filter, or loses
// it when it cannot.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "radio/ed137_radio_slots.h"
#include "tests/radio/ed137_messages.h"
#include "tests/radio/radio_world.h"

using namespace vbradio;
using testing::Contains;
using testing::ElementsAre;
using testing::IsEmpty;
using I = LGCP::IoctlParams;

namespace {

struct RadioLoss : ::testing::Test, RadioWorld {
    RtpLEMZFactory lemz;
    RtpED137Factory ed137;

    RtpExtSlot& slot() { return *dynamic_cast<RtpExtSlot*>(slots().at(1)); }
    vbtest::Texts ioctl(const std::function<void(I&)>& fill) { return command(vbtest::ioctl_command(fill), 1); }
    // The board lets the voice of sender onto the line.
    bool admits(const char* sender) { return engine().session_of_descriptor(slot().rtp_fd())->admitted(ip(sender)); }
};

// A radio slot kind: its creation, a radio command (which keys the radio
// for 10.0.0.8), one that releases it, and a payload that its control reads.
struct Kind {
    const char* name;
    std::function<TERM::RadioStatus()> status;
    std::function<TERM::RadioModifier()> modifier;
    std::function<TERM::RadioModifier()> release;
    std::function<std::string()> payload;
};

const Kind kKinds[] = {
    {"LEMZ", [] { return lemz_status(false); }, [] { return wm_trans(true, "10.0.0.8"); },
     [] { return wm_trans(false, "10.0.0.8"); }, [] { return packed(packet(GW_FLAG)); }},
    {"ED-137", [] { return ed137_status(); },
     [] { return ed137_modifier(true, {TERM::ED137RadioPTT::normal_ptt_on}, "10.0.0.8"); },
     [] { return ed137_modifier(true, {TERM::ED137RadioPTT::ptt_off}, "10.0.0.8"); },
     [] { return std::string(4, '\0'); }},
};

// Slot 1 of that kind, made and keyed for 10.0.0.8.
void keyed(RadioLoss& t, const Kind& k)
{
    LGCP::Command c = vbtest::create_rtp(t.port);
    c.get_create().get_rtp().get_codecRTP().include_radio().set_status(k.status());
    ASSERT_THAT(t.command(c, 1), Contains("slot=1 success"));
    EXPECT_THAT(t.ioctl([&](I& i) { i.set_rtpExt(k.modifier()); }), ElementsAre("slot=1 success"));
}

// How a session fails; an end names why in its line and aborts with error.
struct Ending {
    const char* what;
    const char* device; // whose reads fail, or which hangs up
    int fails;          // errno of the reads, 0 for a hang-up
    bool always;
    const char* line;   // null for a moment's failure
    int abort;
    bool empty = false; // an empty payload (a driver's for an empty extension) waits first
    // Keyed first; 200 ms after the loss the holding session that keeps
    // the owner's filter hangs up as well.
    bool holding = false;
};

const Ending kEndings[] = {
    {"extension hang-up", Device::RtpExt::kDevice, 0, false, "fail to read from rtp_ext: end of file\n", ENODEV},
    {"extension EIO always", Device::RtpExt::kDevice, EIO, true, "fail to read from rtp_ext: Input/output error\n",
     EIO},
    {"extension EINTR once", Device::RtpExt::kDevice, EINTR, false, nullptr, 0},
    {"empty payload", Device::RtpExt::kDevice, EAGAIN, false, nullptr, 0, true},
    {"RTP hang-up", Device::Rtp::kDevice, 0, false, "fail to read from rtp: end of file\n", ENODEV},
    {"extension and holding hang-up", Device::RtpExt::kDevice, 0, false, "fail to read from rtp_ext: end of file\n",
     ENODEV, false, true},
};

TEST_F(RadioLoss, ALostSessionAbortsOnceAndStopsTheRadio)
{
    for (const Kind& k : kKinds) {
        for (const Ending& e : kEndings) {
            SCOPED_TRACE(std::string(k.name) + ", " + e.what);
            LGCP::Command c = vbtest::create_rtp(port);
            TERM::RtpParams& p = c.get_create().get_rtp().get_codecRTP();
            p.include_radio().set_status(k.status());
            // Not the remote port: what the slot sends does not come back.
            p.include_shost().set_iaddr("127.0.0.1");
            p.include_shost().set_port(vbtest::free_rtp_port());
            ASSERT_THAT(command(c, 1), Contains("slot=1 success"));
            if (e.holding) {
                EXPECT_THAT(ioctl([&](I& i) { i.set_rtpExt(k.modifier()); }), ElementsAre("slot=1 success"));
            }
            fail_reads(e.device, e.fails, e.always);
            if (e.empty)
                session().channel->post("", 0);
            if (e.device == std::string(Device::RtpExt::kDevice) && e.fails)
                queue(k.payload(), "10.0.0.1");
            run_passes(50);
            EXPECT_LE(operations(Device::RtpExt::kDevice, SimBoard::Op::read), e.empty ? 4u : 3u);
            bool rtp = e.device == std::string(Device::Rtp::kDevice);
            EXPECT_EQ(operations(Device::Rtp::kDevice, SimBoard::Op::read), rtp ? 1u : 0u);
            if (e.holding) { // no stranger's voice while its replacement waits
                EXPECT_FALSE(admits("10.0.0.6"));
                advance(200);
                for (SimBoard::Channel* ch : sim.board.channels(e.device))
                    ch->hang_up();
                run_passes(3);
                EXPECT_EQ(errors("holding rtp_ext session lost: hang-up"), 1u) << err.str();
                EXPECT_FALSE(admits("10.0.0.6")) << "replaced at once";
                EXPECT_TRUE(admits("10.0.0.8"));
                // The replacement lasts over a second, then ends: at once
                // again, a fault of its own.
                advance(1100);
                for (SimBoard::Channel* ch : sim.board.channels(e.device))
                    ch->hang_up();
                run_passes(3);
                EXPECT_FALSE(admits("10.0.0.6")) << "replaced at once after a second";
                EXPECT_EQ(errors("holding rtp_ext session lost: hang-up"), 2u) << err.str();
                EXPECT_EQ(errors("more time(s)"), 0u) << err.str();
            }
            if (!e.line) {
                EXPECT_TRUE(slot().control()->watching());
                EXPECT_TRUE(session().sources.empty()); // what waited was read
                EXPECT_EQ(slot().control()->counters().unpack_error, e.empty ? -EBADF : 0);
                EXPECT_EQ(errors("fail to read from"), 0u) << err.str();
                EXPECT_THAT(controller(), testing::Not(Contains(testing::StartsWith("slot=1 abort"))));
                EXPECT_THAT(ioctl([&](I& i) { i.set_rtpExt(k.modifier()); }), ElementsAre("slot=1 success"));
            } else {
                EXPECT_FALSE(slot().control()->watching());
                EXPECT_EQ(errors("fail to read from"), 1u) << err.str();
                EXPECT_EQ(errors(e.line), 1u) << err.str();
                EXPECT_THAT(controller(), ElementsAre("slot=1 abort " + std::to_string(e.abort)));
                // Nothing is sent, nothing supervised: no further abort.
                sim.board.clear_log();
                advance(5000);
                EXPECT_THAT(controller(), IsEmpty());
                EXPECT_EQ(operations(Device::RtpExt::kDevice, SimBoard::Op::write), 0u);
                EXPECT_THAT(ioctl([&](I& i) { i.set_rtpExt(k.modifier()); }), ElementsAre("slot=1 error internal"));
                if (!rtp) { // and the RTP session's end after it says nothing more
                    fail_reads(Device::Rtp::kDevice, 0, false);
                    run_passes(5);
                    EXPECT_TRUE(slot().IsLost());
                    EXPECT_THAT(controller(), IsEmpty());
                }
            }
            sim.board.clear_failures();
            EXPECT_THAT(command(vbtest::simple(LGCP::Command::e_destroy), 1), ElementsAre("slot=1 success"));
        }
    }
}

// A keyed radio whose own session went, on a board that ends every new
// extension session at once: the holding session that keeps the owner's
// filter is asked again about once a second, never on every loop pass,
// and the fault is one run: a line when it starts, its count once a
// holding session lasts again or none is needed any more.
TEST_F(RadioLoss, AHoldingSessionTheBoardEndsAtOnceIsAskedOnceASecond)
{
    for (const Kind& k : kKinds) {
        for (bool released : {false, true}) {
            SCOPED_TRACE(std::string(k.name) + (released ? ", released" : ", one lasts"));
            ASSERT_NO_FATAL_FAILURE(keyed(*this, k));
            fail_reads(Device::RtpExt::kDevice, 0, false);
            const uint64_t before = sim.board.count(Device::RtpExt::kDevice, SimBoard::Op::open);
            // A pass may take the loop's time on to its next timer.
            for (const uint64_t from = clock.monotonic_us(); clock.monotonic_us() - from < 5000 * 1000;) {
                run_passes(1);
                for (SimBoard::Channel* ch : sim.board.channels(Device::RtpExt::kDevice))
                    ch->hang_up();
                advance(10);
            }
            const uint64_t opens = sim.board.count(Device::RtpExt::kDevice, SimBoard::Op::open) - before;
            EXPECT_GE(opens, 4u);
            EXPECT_LE(opens, 7u);
            EXPECT_EQ(errors("holding rtp_ext session lost: hang-up"), 1u) << err.str();
            EXPECT_EQ(errors(" more time(s)"), 0u) << "not over yet: " << err.str();
            run_passes(1);
            if (released) {
                // Lost, so refused, but taken: nobody to hold for.
                EXPECT_THAT(ioctl([&](I& i) { i.set_rtpExt(k.release()); }), Contains("slot=1 error internal"));
                EXPECT_TRUE(admits("10.0.0.6"));
            } else {
                advance(1100); // the retry's holding session
                advance(1100); // lasts
                EXPECT_FALSE(admits("10.0.0.6"));
            }
            EXPECT_THAT(err.str(), testing::ContainsRegex("holding rtp_ext session fail: [0-9]+ more time\\(s\\)"));
            EXPECT_EQ(errors(" more time(s)"), 1u) << err.str();
            controller();
            EXPECT_THAT(command(vbtest::simple(LGCP::Command::e_destroy), 1), ElementsAre("slot=1 success"));
        }
    }
}

// A codec change whose new extension session cannot be opened loses the
// radio as an ending session does: one abort, the command and later radio
// commands refused, the status cycle stopped; failing again says no more.
TEST_F(RadioLoss, ARestartWithoutItsExtensionSessionLosesTheRadioOnce)
{
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(k.name);
        ASSERT_NO_FATAL_FAILURE(keyed(*this, k));
        err.clear();
        sim.board.fail(Device::RtpExt::kDevice, SimBoard::Op::open, ENODEV, SimBoard::Board::Times::always);
        EXPECT_THAT(ioctl([](I& i) { i.set_decoder_mode(LGCP::CodecMode::ulaw); }),
                    ElementsAre("slot=1 abort " + std::to_string(ENODEV), "slot=1 error internal"));
        EXPECT_THAT(ioctl([](I& i) { i.set_decoder_mode(LGCP::CodecMode::alaw); }),
                    ElementsAre("slot=1 error internal"));
        // Each restart's, and (when keyed) the one of the holding session
        // the radio's filter asks for, which the retry asks again quietly.
        size_t lines = slot().control()->filter_address() ? 3 : 2;
        EXPECT_EQ(errors("create rtp_ext session fail !!!"), lines) << err.str();
        EXPECT_THAT(ioctl([&](I& i) { i.set_rtpExt(k.modifier()); }), ElementsAre("slot=1 error internal"));
        advance(5000);
        EXPECT_THAT(controller(), IsEmpty());
        EXPECT_EQ(errors("create rtp_ext session fail !!!"), lines) << err.str();
        sim.board.clear_failures();
        EXPECT_THAT(command(vbtest::simple(LGCP::Command::e_destroy), 1), ElementsAre("slot=1 success"));
    }
}

// A new RTP session that refuses the packet detection of the old one: the
// codec change answers an error, but the radio follows the new session,
// and the detection stays asked, so the same command tells it again.
TEST_F(RadioLoss, ARestartThatCannotCarryPacketDetectionKeepsTheRadio)
{
    LGCP::Command c = vbtest::create_rtp(port);
    c.get_create().get_rtp().get_codecRTP().include_radio().set_status(lemz_status(false));
    ASSERT_THAT(command(c, 1), Contains("slot=1 success"));
    auto pd = [](I& i) { i.get_pd_enable().set_timeout(300); };
    EXPECT_THAT(ioctl(pd), ElementsAre("slot=1 success"));
    sim.board.fail(Device::Rtp::kDevice, Device::Rtp::RTP_SET_EVENT, EIO, SimBoard::Board::Times::once);
    EXPECT_THAT(ioctl([](I& i) { i.set_encoder_mode(LGCP::CodecMode::ulaw); }), ElementsAre("slot=1 error internal"));
    EXPECT_TRUE(slot().control()->watching());
    EXPECT_THAT(ioctl([](I& i) { i.set_rtpExt(wm_trans(true, "10.0.0.8")); }), ElementsAre("slot=1 success"));
    // The same codec again tells the session what the change could not.
    EXPECT_THAT(ioctl([](I& i) { i.set_encoder_mode(LGCP::CodecMode::ulaw); }), ElementsAre("slot=1 success"));
    EXPECT_EQ(sim.board.ioctls(Device::Rtp::kDevice, Device::Rtp::RTP_SET_EVENT).size(), 3u);
}

TEST_F(RadioLoss, ACodecChangeBringsALostExtensionSessionBack)
{
    LGCP::Command c = vbtest::create_rtp(port);
    c.get_create().get_rtp().get_codecRTP().include_radio().set_status(lemz_status(false));
    ASSERT_THAT(command(c, 1), Contains("slot=1 success"));
    EXPECT_THAT(ioctl([](I& i) { i.set_rtpExt(wm_trans(true, "10.0.0.8")); }), ElementsAre("slot=1 success"));
    sim.board.channels(Device::RtpExt::kDevice).at(0)->hang_up();
    vbtest::run_real([&] { return slot().control()->session_lost(); }, 1000);
    ASSERT_TRUE(slot().control()->session_lost());
    controller();

    EXPECT_THAT(ioctl([](I& i) { i.set_encoder_mode(LGCP::CodecMode::ulaw); }), ElementsAre("slot=1 success"));
    EXPECT_FALSE(slot().control()->session_lost());
    EXPECT_TRUE(slot().control()->watching());
    // Still held: the new session admits only the holder's voice.
    EXPECT_TRUE(session().filtering);
    EXPECT_EQ(session().filter, ip("10.0.0.8"));
    // The status cycle runs again on the new session.
    advance(1100);
    EXPECT_THAT(written_types(), Contains(uint32_t(WM_TRANS))); // held
    EXPECT_THAT(ioctl([](I& i) { i.set_rtpExt(wm_trans(true, "10.0.0.8")); }), ElementsAre("slot=1 success"));
    EXPECT_THAT(controller(), testing::Not(Contains(testing::StartsWith("slot=1 abort"))));
}

} // namespace

namespace {

// Payloads that keep coming cannot hold the loop: a wake-up reads at most
// its share, and a hang-up behind them ends the session only once they
// are read.
TEST_F(RadioLoss, AWakeUpReadsItsShareAndTheEndWaitsForTheRest)
{
    LGCP::Command c = vbtest::create_rtp(port);
    c.get_create().get_rtp().get_codecRTP().include_radio().set_status(kKinds[0].status());
    ASSERT_THAT(command(c, 1), Contains("slot=1 success"));
    sim.board.clear_log();
    for (unsigned i = 0; i < 100; ++i)
        queue(kKinds[0].payload(), "10.0.0.1");
    for (SimBoard::Channel* ch : sim.board.channels(Device::RtpExt::kDevice))
        ch->hang_up();
    run_passes(1);
    EXPECT_EQ(operations(Device::RtpExt::kDevice, SimBoard::Op::read), Device::kReadsPerPass);
    EXPECT_TRUE(slot().control()->watching());
    run_passes(3);
    EXPECT_FALSE(slot().control()->watching());
    EXPECT_EQ(errors("fail to read from rtp_ext: end of file"), 1u) << err.str();
}

} // namespace
