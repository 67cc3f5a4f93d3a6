// The LEMZ control on the simulated extension driver, in virtual time: the
// session steps and their failures, the receive path's runs, the access
// rule, both roles' merges, the status cycle (also across the clock's
// wrap), the source filter and a hung-up session.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <regex>

#include "radio/modifier_addresses.h"
#include "tests/radio/address_forms.h"
#include "tests/radio/radio_support.h"
#include "tests/radio/radio_world.h"

using namespace vbradio;
using namespace Device::RtpExt;
using RTPSignalling::LemzRadioState;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

struct LemzControl : ::testing::Test, RadioWorld {
    Fd rtp = rtp_session();
    std::unique_ptr<GW> gw = control(rtp);
};

TEST_F(LemzControl, OpensNonBlockingThenInitialisesAndAttachesToTheNamedSession)
{
    ASSERT_TRUE(gw->watching());
    std::vector<SimBoard::Channel*> open = sim.board.channels(kDevice);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0]->flags & (O_ACCMODE | O_NONBLOCK | O_CLOEXEC), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    auto e0 = sim.board.ioctls(kDevice, RTP_EXT_INIT);
    auto e1 = sim.board.ioctls(kDevice, RTP_EXT_ATTACH);
    ASSERT_EQ(e0.size(), 1u);
    ASSERT_EQ(e1.size(), 1u);
    EXPECT_THAT(e0[0].in, ElementsAre(0x1337u, 0u, 0u, 0u, 0u));
    EXPECT_THAT(e1[0].in, ElementsAre(uint32_t(rtp.get()), uint32_t(::getpid())));
    EXPECT_TRUE(std::regex_match(gw->GetPrefix(),
                                 std::regex(R"(rtp_ext\[7\] \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}:)")));
}

TEST_F(LemzControl, EachFailingStepSaysWhichAndLeavesNoSession)
{
    struct Row {
        SimBoard::Op op;
        unsigned long request;
        const char* line;
    } rows[] = {
        {SimBoard::Op::open, 0, "create rtp_ext session fail !!!"},
        {SimBoard::Op::ioctl, RTP_EXT_INIT, "init rtp_ext session fail !!!"},
        {SimBoard::Op::ioctl, RTP_EXT_ATTACH, "attach rtp_ext session fail !!!"},
    };
    gw.reset();
    for (const Row& r : rows) {
        err.clear();
        r.op == SimBoard::Op::open ? sim.board.fail(kDevice, r.op, ENODEV) : sim.board.fail(kDevice, r.request, EINVAL);
        auto c = control(rtp);
        EXPECT_THAT(err.str(), HasSubstr(r.line));
        EXPECT_EQ(c->ext_fd(), -1);
        EXPECT_FALSE(c->watching());
        EXPECT_TRUE(ext().sessions().empty());
    }
    err.clear();
    sim.board.fail(Device::Rtp::kDevice, Device::Rtp::RTP_ATTACH_SESSION, EINVAL);
    RTPSignalling::LemzRadioGWControl joined(3, rtp, rtp_attach_session_params{rtp.get(), -1});
    EXPECT_THAT(err.str(), HasSubstr("rtp_ext[3] "));
    EXPECT_THAT(err.str(), HasSubstr("attach rtp session fail !!!"));
    EXPECT_TRUE(joined.RtpExtStart(false)); // joins the own session now
}

TEST_F(LemzControl, OfEachRunFromOneSenderOnlyTheLastIsReportedRunsInOrder)
{
    queue(packet(GW_FLAG_PTT, 9, 1), "10.0.0.1");
    queue(packet(GW_FLAG_PTT, 8, 1), "10.0.0.1");
    ext().queue(session(), 1, ip("10.0.0.1"), std::string("\x7f\x00\x00\x00", 4)); // no LEMZ type
    queue(packet(GW_FLAG_PTT, 7, 1), "10.0.0.1");
    queue(packet(GW_FLAG_PTT, 6, 0), "10.0.0.2");
    gw->wake();
    ASSERT_EQ(reports.requests.size(), 2u);
    EXPECT_THAT(reports.senders(), ElementsAre("10.0.0.1", "10.0.0.2"));
    EXPECT_EQ(reports.requests[0].get_request().get_lemz().get_params().get_gw_set_ptt().get_flags().get_prio().getValue(), 7);
    EXPECT_EQ(gw->counters().unpacked, 4u);
    EXPECT_EQ(gw->counters().sources, 5u);
}

TEST_F(LemzControl, AFailedSourceRequestNamesNobody)
{
    queue(packet(GW_FLAG), "10.0.0.1");
    gw->wake();
    queue(packet(GW_FLAG_BSS), "10.0.0.1");
    sim.board.fail(kDevice, RTP_EXT_SOURCE, EIO);
    gw->wake();
    EXPECT_THAT(reports.senders(), ElementsAre("10.0.0.1", "0.0.0.0"));
}

TEST_F(LemzControl, AccessWhileTheRadioIsHeld)
{
    LemzRadioState rx;
    auto allowed = [&](const char* from, uint32_t type, int priority, int ptt) {
        rx.command = int32_t(type), rx.source_address = ip(from), rx.priority = priority, rx.ptt = ptt;
        return gw->AccessFormChanToRadio(rx);
    };
    EXPECT_TRUE(allowed("10.0.0.7", GW_ADJUST_CHAN, 15, 0)); // nobody holds it
    gw->SendASNToChan(wm_trans(true, "10.0.0.9", 5));
    struct Row {
        const char* from;
        uint32_t type;
        int priority, ptt;
        bool allowed;
    } rows[] = {
        {"10.0.0.7", GW_FLAG_PTT, 3, 1, true},     {"10.0.0.7", GW_FLAG_PTT, 5, 1, false},
        {"10.0.0.7", GW_FLAG_PTT, 3, 0, false},    {"10.0.0.7", GW_ADJUST_CHAN, 0, 1, false},
        {"10.0.0.7", GW_SEL_CALL, -1, 1, true},    {"10.0.0.9", GW_ADJUST_CHAN, 15, 0, true},
        {"10.0.0.9", WM_FLAG, 15, 0, true},
    };
    for (const Row& r : rows)
        EXPECT_EQ(allowed(r.from, r.type, r.priority, r.ptt), r.allowed) << r.from << " " << r.type << " " << r.priority;
    // A holder below every priority lets nobody else in; the comparison is signed.
    gw->SendASNToChan(wm_trans(true, "10.0.0.9", -1));
    EXPECT_FALSE(allowed("10.0.0.7", GW_FLAG_PTT, 0, 1));
    // The own address holding the radio admits everybody.
    gw->SendASNToChan(wm_trans(true, gw->own_address().GetString().substr(0, gw->own_address().GetString().find(':')).c_str()));
    EXPECT_TRUE(allowed("10.0.0.7", GW_ADJUST_CHAN, 15, 0));
}

// Names of the fields of b that differ from a.
std::string changed(LemzRadioState const& a, LemzRadioState const& b)
{
    std::string out;
    auto field = [&](const char* name, bool differs) { out += differs ? std::string(out.empty() ? "" : " ") + name : ""; };
    field("command", a.command != b.command);
    field("priority", a.priority != b.priority);
    field("ptt", a.ptt != b.ptt);
    field("session", a.session_address != b.session_address || a.session_ssrc != b.session_ssrc);
    field("caller_id", std::strcmp(a.caller_id, b.caller_id) != 0);
    field("flags", a.r != b.r || a.t != b.t || a.s != b.s || a.c != b.c || a.status != b.status);
    field("b", a.b != b.b);
    field("sh", a.sh != b.sh);
    field("rv", a.rv != b.rv);
    field("pw", a.pw != b.pw);
    field("rs", a.rs != b.rs);
    field("remote", a.interface != b.interface || a.channel != b.channel);
    field("chan", a.channel_id != b.channel_id || a.frequency != b.frequency);
    field("squelch", a.squelch != b.squelch);
    field("rte", a.rte != b.rte);
    field("standby", a.standby_state != b.standby_state);
    field("group", a.standby_group != b.standby_group || a.receiver_state != b.receiver_state);
    field("quality", a.quality != b.quality);
    return out;
}

LemzRadioState every_field(int command)
{
    LemzRadioState s = sample_state(command);
    s.r = s.sh = s.rs = 1;
    s.receiver_state = 1;
    return s;
}

// The names in the order changed() lists them.
std::string canonical(const std::string& names)
{
    static const char* const order[] = {"command", "priority", "ptt", "session", "caller_id", "flags", "b", "sh", "rv",
                                        "pw", "rs", "remote", "chan", "squelch", "rte", "standby", "group", "quality"};
    std::string out;
    for (const char* n : order)
        if ((" " + names + " ").find(" " + std::string(n) + " ") != std::string::npos)
            out += (out.empty() ? "" : " ") + std::string(n);
    return out;
}

TEST_F(LemzControl, TheTwentyTypesThroughBothMergesOfBothRoles)
{
    const std::string header = "command priority ptt flags b sh rv pw rs";
    struct Row {
        uint32_t type;
        const char* gw_rows; // a command from the channel at the gateway
        const char* wm_rows; // a status from the controller at the gateway
    } rows[] = {
        {GW_FLAG, "ptt b sh rv pw rs", ""}, {GW_ADJUST_CHAN, "chan", ""},  {GW_FLAG_PTT, "ptt", ""},
        {GW_FLAG_BSS, "b", ""},            {GW_FLAG_RV, "rv", ""},        {GW_FLAG_SH, "sh", ""},
        {GW_FLAG_PW, "pw", ""},            {GW_FLAG_RS, "rs", ""},        {GW_SEL_CALL, "caller_id", ""},
        {GW_SELECT_RC_CHAN, "remote", ""}, {GW_ADJUST_SQUELSHE, "squelch", ""}, {GW_ADJUST_RTE, "rte", ""},
        {GW_ADJUST_STANDBY, "standby", ""}, {WM_FLAG, "", ""},             {WM_TRANS, "", "session"},
        {WM_RADIO_QUALITY, "", "quality"}, {WM_CHAN, "", "chan squelch rte"}, {WM_SEL_CALL_TRANS, "", "session"},
        {WM_SELECT_RC_CHAN, "", "remote"}, {WM_STANDBY, "", "standby group"},
    };
    for (const Row& r : rows) {
        LemzRadioState s = every_field(int(r.type));
        GW g(7, rtp_ext_attach_session_params{rtp.get(), -1}, init);
        WS w(7, rtp_ext_attach_session_params{rtp.get(), -1}, init);
        EXPECT_EQ(g.PutProtoFromChanToRadio(s), 0);
        EXPECT_EQ(g.PutProtoFromRadioToChan(s), 0);
        EXPECT_EQ(w.PutProtoFromChanToRadio(s), 0);
        EXPECT_EQ(w.PutProtoFromRadioToChan(s), 0);
        const LemzRadioState none;
        // The sender becomes the session of a received command.
        EXPECT_EQ(changed(none, g.command_state()), canonical(std::string("command priority session ") + r.gw_rows))
            << r.type;
        EXPECT_EQ(changed(none, g.radio_state()), canonical(header + " " + r.wm_rows)) << r.type;
        // The workstation swaps them.
        EXPECT_EQ(changed(none, w.radio_state()), canonical(std::string("command priority ") + r.gw_rows)) << r.type;
        EXPECT_EQ(changed(none, w.command_state()), canonical(header + " session " + r.wm_rows)) << r.type;
    }
    // A complete state merges every row and sends nothing.
    GW g(7, rtp_ext_attach_session_params{rtp.get(), -1}, init);
    EXPECT_EQ(g.PutProtoFromRadioToChan(every_field(0)), -1);
}

TEST_F(LemzControl, TheStatusCycleRepeatsTheRadiosStatusPackets)
{
    // The remote channel every tick, the rest once a second, no standby
    // until its three values are set.
    uint32_t t0 = Mux::milliseconds();
    EXPECT_EQ(gw->ProcessRadioStatus(t0 + 500, 1000), 510u);
    EXPECT_THAT(written_types(), ElementsAre(WM_SELECT_RC_CHAN));
    EXPECT_EQ(gw->ProcessRadioStatus(t0 + 1000, 1000), 1000u);
    EXPECT_THAT(written_types(), ElementsAre(WM_FLAG, WM_CHAN, WM_SELECT_RC_CHAN));
    gw->SendASNToChan(lemz_status(true));
    EXPECT_THAT(written_types(), ElementsAre()); // a complete status only updates
    EXPECT_EQ(gw->ProcessRadioStatus(t0 + 2000, 1000), 1000u);
    EXPECT_THAT(written_types(), ElementsAre(WM_FLAG, WM_CHAN, WM_SELECT_RC_CHAN, WM_STANDBY));
    // wm-chan goes out at once and restarts its kind's second.
    TERM::RadioModifier chan;
    chan.get_lemz().get_addr().set_session_addr("0.0.0.0");
    chan.get_lemz().get_params().get_wm_chan().get_freq().set_frequency("145.5");
    advance(2600);
    EXPECT_TRUE(gw->SendASNToChan(chan));
    EXPECT_THAT(written_types(), ElementsAre(WM_CHAN));
    EXPECT_EQ(gw->ProcessRadioStatus(t0 + 3000, 1000), 610u);
    EXPECT_THAT(written_types(), ElementsAre(WM_FLAG, WM_SELECT_RC_CHAN, WM_STANDBY));
    // Held by a session: WM_TRANS; a controller's wm-selcall goes out once as itself.
    gw->SendASNToChan(wm_trans(true, "10.0.0.9"));
    EXPECT_THAT(written_types(), ElementsAre(WM_TRANS));
    TERM::RadioModifier selcall;
    selcall.get_lemz().get_addr().set_session_addr("0.0.0.0");
    selcall.get_lemz().get_params().get_wm_selcall().set_cid("4711");
    selcall.get_lemz().get_params().get_wm_selcall().set_ip("10.0.0.9");
    selcall.get_lemz().get_params().get_wm_selcall().get_flags().set_ptt(true);
    gw->SendASNToChan(selcall);
    EXPECT_THAT(written_types(), ElementsAre(WM_SEL_CALL_TRANS));
    EXPECT_EQ(gw->ProcessRadioStatus(t0 + 5000, 1000), 1000u);
    EXPECT_THAT(written_types(), ElementsAre(WM_TRANS, WM_CHAN, WM_SELECT_RC_CHAN, WM_STANDBY));
    // A gateway command from the controller changes the command field only.
    TERM::RadioModifier freq;
    freq.get_lemz().get_addr().set_session_addr("0.0.0.0");
    freq.get_lemz().get_params().get_gw_set_freq().get_freq().set_channel(9);
    gw->SendASNToChan(freq);
    EXPECT_THAT(written_types(), ElementsAre());
    EXPECT_EQ(gw->radio_state().command, GW_ADJUST_CHAN);
    EXPECT_EQ(gw->radio_state().channel_id, 0);
}

TEST_F(LemzControl, TheTimerTicksOnlyWhenEnabledAndOnAcrossTheClocksWrap)
{
    gw.reset();
    clock.set_ms((uint64_t(1) << 32) - 3000);
    gw = control(rtp);
    advance(5000);
    EXPECT_THAT(written_types(), ElementsAre());
    gw->SetTimerEnable(true);
    unsigned flags = 0;
    for (int tick = 0; tick < 6; ++tick) {
        advance(1000);
        for (uint32_t t : written_types())
            flags += t == WM_FLAG;
    }
    EXPECT_EQ(flags, 6u);
    gw->SetTimerEnable(false);
    advance(3000);
    EXPECT_THAT(written_types(), ElementsAre());
}

TEST_F(LemzControl, TheFilterFollowsTheHolderAndIsStoredOnlyWhenSet)
{
    gw->SendASNToChan(wm_trans(true, "10.0.0.9"));
    gw->SendASNToChan(wm_trans(true, "10.0.0.9"));
    EXPECT_EQ(requests(RTP_EXT_SET_FILTER), 1u);
    EXPECT_EQ(session().filter, ip("10.0.0.9"));
    // Another sender's signalling still reaches the control, whose access
    // rule decides (priority 0 takes the radio held at 5).
    queue(packet(GW_FLAG_PTT, 0, 1), "10.0.0.7");
    gw->wake();
    EXPECT_THAT(reports.senders(), ElementsAre("10.0.0.7"));
    // Nobody known holds it: no filter for 0.0.0.0, which would admit nobody.
    gw->SendASNToChan(wm_trans(true, "0.0.0.0"));
    EXPECT_EQ(requests(RTP_EXT_SET_FILTER), 1u);
    EXPECT_EQ(requests(RTP_EXT_RESET_FILTER), 1u);
    EXPECT_FALSE(session().filtering);
    // A failed request is tried again by the next update.
    err.clear();
    sim.board.fail(kDevice, RTP_EXT_SET_FILTER, EIO);
    gw->SendASNToChan(wm_trans(true, "10.0.0.8"));
    EXPECT_THAT(err.str(), HasSubstr("set filer rtp_ext session fail !!!"));
    EXPECT_FALSE(gw->filter_active());
    gw->SendASNToChan(wm_trans(true, "10.0.0.8"));
    EXPECT_TRUE(gw->filter_active());
    EXPECT_EQ(session().filter, ip("10.0.0.8"));
    sim.board.fail(kDevice, RTP_EXT_RESET_FILTER, EIO);
    gw->SendASNToChan(wm_trans(false, "10.0.0.8"));
    EXPECT_TRUE(gw->filter_active());
    gw->SendASNToChan(wm_trans(false, "10.0.0.8"));
    EXPECT_FALSE(gw->filter_active());
    EXPECT_EQ(requests(RTP_EXT_RESET_FILTER), 3u);
}

// Every address a command names (its sender, and the session of the trans
// and selcall commands) must parse, or the command is refused whole: the
// radio state and the holder's filter stay, so a stranger's voice is still
// kept out, and nothing goes out on the channel.
TEST_F(LemzControl, ACommandWithAnAddressThatDoesNotParseChangesNothing)
{
    using Make = std::function<TERM::RadioModifier(std::string const&)>;
    auto release = [](std::string const& sender, std::string const& session) {
        TERM::RadioModifier m = wm_trans(false, "10.0.0.9");
        m.get_lemz().get_addr().set_session_addr(sender);
        m.get_lemz().get_params().get_wm_trans().set_ip(session);
        return m;
    };
    auto selcall = [](bool gateway_side, std::string const& session) {
        TERM::RadioModifier m = wm_trans(true, "10.0.0.9");
        auto& p = m.get_lemz().get_params();
        gateway_side ? p.get_gw_set_selcall().set_ip(session) : p.get_wm_selcall().set_ip(session);
        return m;
    };
    struct Place {
        const char* field;
        Make make;
    } places[] = {
        {"session-addr", [&](std::string const& a) { return release(a, "10.0.0.9"); }},
        {"ip", [&](std::string const& a) { return release("10.0.0.9", a); }},
        {"ip", [&](std::string const& a) { return selcall(false, a); }},
        {"ip", [&](std::string const& a) { return selcall(true, a); }},
    };
    ASSERT_TRUE(gw->SendASNToChan(wm_trans(true, "10.0.0.9")));
    written_types();
    LemzRadioState before = gw->radio_state();
    err.clear();
    for (Place const& p : places)
        for (std::string const& form : unparsable_addresses()) {
            EXPECT_FALSE(gw->SendASNToChan(p.make(form))) << p.field << " " << form;
            EXPECT_STREQ(RTPSignalling::UnparsedAddress(p.make(form)), p.field) << form;
        }
    EXPECT_EQ(std::memcmp(&gw->radio_state(), &before, sizeof before), 0);
    EXPECT_THAT(written_types(), ElementsAre());
    EXPECT_TRUE(session().filtering);
    EXPECT_EQ(session().filter, ip("10.0.0.9"));
    EXPECT_EQ(requests(RTP_EXT_RESET_FILTER), 0u);
    EXPECT_FALSE(session().admits(ip("10.0.0.7")));
    std::string said = err.str();
    EXPECT_EQ(size_t(std::count(said.begin(), said.end(), '\n')), 4 * unparsable_addresses().size());
    EXPECT_TRUE(printable_lines(said)) << said;
    EXPECT_THAT(said, HasSubstr("ip \"10.0.0\" is no IPv4 address, command refused\n"));
    // The same commands with good addresses are taken.
    for (Place const& p : places)
        EXPECT_TRUE(gw->SendASNToChan(p.make("10.0.0.9"))) << p.field;
}

TEST_F(LemzControl, AHungUpSessionIsReleasedWithOneLine)
{
    queue(packet(GW_FLAG), "10.0.0.1");
    sim.board.channels(kDevice)[0]->hang_up();
    EXPECT_TRUE(vbtest::run_real([&] { return !gw->watching(); }));
    vbtest::run_real([] { return false; }, 50);
    EXPECT_EQ(reports.requests.size(), 1u); // what waited is still read
    std::string text = err.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_THAT(text, HasSubstr("fail to read from rtp_ext: end of file\n"));
    EXPECT_THAT(reports.aborts, ElementsAre(ENODEV));
}

} // namespace
