// A slot whose board channel went back to its driver, for every kind whose
// channel can: the driver gives the channel to the next slot that asks,
// which a trunk then talks with; whatever the controller does with the
// stale slot, and the destroy of the trunk the stale slot had, leaves the
// new slot's switch paths and what it switched on at the board as they are.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>
#include <map>
#include <memory>

#include "tests/e2e/modem_flow.h"
#include "tests/e2e/slot_kinds.h"
#include "tests/runtime/loop_support.h"
#include "tests/signalling/signalling_commands.h"
#include "tests/support/media_params.h"
#include "tests/support/rtp_peer.h"

using namespace vbtest;
using C = LGCP::Command;

namespace {

class StaleSlot : public OwnNetwork, public ModemFlow {
public:
    Texts to(int slot, const C& c) { return ctl.exchange(to_slot(c, slot)); }
    std::string ok(int slot) { return "slot=" + std::to_string(slot) + " success"; }
    std::string ask(const std::string& command) { return board.ask(command); }
    void settle() { ctl.sync(); }
    // An activate of a link that runs lets its channel drain first: the
    // fresh channel on the line's output opens after that.
    void reactivate(int n, int line)
    {
        const std::string output = "switch " + std::to_string(line);
        auto holder = [&] { return ask("mcc-channel " + ask(output).substr(13)); };
        const std::string before = holder();
        to(n, simple(LGCP::Command::e_activate));
        EXPECT_TRUE(eventually([&] { return holder() != before; })) << before;
    }
    // A link's channel goes back to the driver once what it wrote left.
    void freed(const std::string& channel)
    {
        EXPECT_TRUE(eventually([&] { return ask("mcc-channel " + channel).rfind("ok", 0) != 0; })) << channel;
    }
    // More connections to the test port, each served once, so that the
    // loop polls them, in this order, before the controller's connection
    // made again: in a pass it serves their commands first.
    void port_first()
    {
        for (BoardPort* port : {&second, &third})
            ASSERT_TRUE(port->connect(server.pid()) && port->ask("passes").rfind("ok ", 0) == 0);
        ctl.close();
        ASSERT_TRUE(ctl.connect(server.port()));
    }
    // A destroy of slot n, answered late while a child of the slot still
    // ends on its hang-up; whether it was answered success (an error
    // answer, such as a slot that is not there, ends the wait too).
    bool destroyed(int n)
    {
        ctl.send(to_slot(simple(C::e_destroy), n));
        const std::string refused = "slot=" + std::to_string(n) + " error ";
        for (std::string m; !(m = ctl.next(6000)).empty();)
            if (m == ok(n) || m.rfind(refused, 0) == 0)
                return m == ok(n);
        return false;
    }
    // Whether the controller hears a message that starts with head.
    bool hears(const std::string& head)
    {
        for (std::string m; !(m = ctl.next(5000)).empty();)
            if (m.rfind(head, 0) == 0)
                return true;
        return false;
    }
    // The messages of all that are among want, in their order.
    static Texts among(const Texts& all, const Texts& want)
    {
        Texts got;
        std::copy_if(all.begin(), all.end(), std::back_inserter(got),
                     [&](const std::string& m) { return std::count(want.begin(), want.end(), m) > 0; });
        return got;
    }
    // The first channel that slot n announced, -1 when none.
    static int channel_in(const Texts& sent, int n)
    {
        const std::string head = "slot=" + std::to_string(n) + " ";
        for (const std::string& m : sent)
            if (m.compare(0, head.size(), head) == 0 && m.find(" active : ") != std::string::npos)
                return std::stoi(m.substr(m.rfind(": ") + 2));
        return -1;
    }
    static std::string hex_digits(std::string text)
    {
        text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
        return text;
    }
    // Stopped, the server finds the port's commands (one a connection)
    // and the controller's together at its next poll; the port's
    // connections, older than the controller's, are served first.
    Texts in_one_pass(const std::vector<std::pair<BoardPort*, std::string>>& port,
                      const std::vector<std::pair<int, C>>& commands)
    {
        server.signal(SIGSTOP);
        for (const auto& p : port)
            EXPECT_TRUE(p.first->send(p.second));
        for (const auto& step : commands)
            ctl.send(to_slot(step.second, step.first));
        server.signal(SIGCONT);
        Texts all = ctl.sync();
        for (const auto& p : port)
            EXPECT_THAT(p.first->answer(), testing::StartsWith("ok ")) << p.second;
        return all;
    }
    // Creates the slots of first, then slot n with c, joins it both ways
    // with trunk slot t (where its kind has that side), and turns on what
    // an RTP kind can: its channel. With a device in late, that device
    // hangs up in the same loop pass as the creates and joins, so the
    // descriptors it ended are read only after them; the commands of
    // after follow the joins in that pass.
    int make(int n, int t, const C& c, bool dsp = false, std::vector<std::pair<int, C>> first = {})
    {
        first.emplace_back(n, c);
        first.emplace_back(t, simple(C::e_connect, unsigned(n)));
        first.emplace_back(n, simple(C::e_connect, unsigned(t)));
        Texts all;
        if (late.empty()) {
            for (const auto& step : first) {
                Texts more = to(step.first, step.second);
                all.insert(all.end(), more.begin(), more.end());
            }
        } else {
            first.insert(first.end(), after.begin(), after.end());
            // One command a connection, the older connection served first.
            BoardPort* const ports[] = {&board, &second, &third};
            std::vector<std::pair<BoardPort*, std::string>> port;
            for (const std::string& record : posted)
                port.emplace_back(ports[port.size()], "post " + late + " " + hex_digits(record));
            port.emplace_back(ports[port.size()], "hangup " + late);
            all = in_one_pass(port, first);
            late.clear();
            posted.clear();
            after.clear();
        }
        last = all;
        EXPECT_THAT(all, testing::Contains(ok(n)));
        // Which joins answered success: the create's answer is n's first.
        heard = std::count(all.begin(), all.end(), ok(t)) > 0;
        said = std::count(all.begin(), all.end(), ok(n)) > 1;
        if (dsp) {
            C vad, dtmf;
            vad.get_ioctl().set_vad_enable(true), dtmf.get_ioctl().set_dtmf_enable(true);
            EXPECT_THAT(to(n, vad), testing::Contains(ok(n)));
            EXPECT_THAT(to(n, dtmf), testing::Contains(ok(n)));
        }
        return channel_in(all, n);
    }
    C rtp(Radio radio = Radio::none)
    {
        remotes.emplace_back(new Remote);
        return create_rtp_on(remotes.back()->port, free_rtp_port(), radio);
    }
    // What the board carries for the channel that the fresh slot has now,
    // and for the line channel of the trunk slot which talks with it.
    std::string board_of(int channel, const std::string& line)
    {
        const std::string ch = std::to_string(channel);
        return board.ask("switch " + ch) + " | " + board.ask("switch " + line) + " | " + board.ask("dtmf-slot " + ch) +
               " | " + board.ask("dsp " + ch + " 1 1 1 0") + " | " + board.ask("mcc-channel " + ch);
    }

    // The device that hangs up with the next make, and the records (at
    // most two) that reach its descriptors just before, one by one.
    std::string late;
    Texts posted;
    std::vector<std::pair<int, C>> after;
    // More connections to the test port (port_first).
    BoardPort second, third;
    // What the controller heard in the last make.
    Texts last;
    // Whether the last make's slot hears its trunk, and says to it.
    bool heard = false;
    bool said = false;
    std::vector<std::unique_ptr<Remote>> remotes;
    // Made once the test is in its network namespace, as the server is.
    std::unique_ptr<TcpListener> peer;
};

// Records (hexadecimal text) for a channel, each with what the controller
// hears of it.
using Records = std::vector<std::pair<std::string, std::string>>;

// How a stale slot of a kind is made at slot n, talking with trunk slot t;
// its own commands beside the common ones.
struct Row {
    std::function<int(StaleSlot&, int n, int t)> make;
    std::vector<C> own;
    // Records that the kind's channel passes on to the controller as they come.
    Records input = {};
    // A record that brings the kind's link up first, heard as "activated".
    std::string opening = "";
};

// A record whose octets from octet `from` on reach the controller as they are.
std::pair<std::string, std::string> data(const std::string& record, size_t from = 0)
{
    return {record, "userData '" + record.substr(3 * from) + "'H"};
}

// A packet detection record of the RTP engine.
std::pair<std::string, std::string> detection(unsigned value)
{
    char head[25];
    std::snprintf(head, sizeof head, "01000000%02X00000009000000", value);
    return {head + std::string(48, '0'), "rtp pd : { value " + std::to_string(value) + ", timeout 9}"};
}

C modem_activate()
{
    C a;
    TERM::ModemUserParameters& u = a.get_activate().get_modem();
    u.set_remoteAddr("10.0.0.2"), u.set_netmask("255.255.255.0"), u.set_gateway("10.0.0.1");
    u.set_dns("10.0.0.53"), u.set_mtu(1500);
    return a;
}

const std::map<std::string, Row>& rows()
{
    using S = StaleSlot;
    static const std::vector<C> dsp = {
        ioctl_of([](LGCP::IoctlParams& i) { i.set_vad_enable(false); }),
        ioctl_of([](LGCP::IoctlParams& i) { i.set_dtmf_enable(false); }),
        ioctl_of([](LGCP::IoctlParams& i) { i.set_echoSuppressor(false); }),
        ioctl_of([](LGCP::IoctlParams& i) { i.set_deactivateWaitTone(); }),
    };
    // I frames 0 and 1 from the network, after its SABME.
    static const Records iFrames = {data("02 01 00 00 08 02 80 01 07", 4), data("02 01 02 00 08 02 80 01 08", 4)};
    static const std::string sabme = "02 01 7F";
    static const std::map<std::string, Row> rows = {
        {"Modem/dsp-modem", {[](S& s, int n, int t) { return s.make(n, t, create_modem("")); }, {modem_activate()}}},
        {"MCC/MCC",
         {[](S& s, int n, int t) { return s.make(n, t, create_mcc(LGCP::MccType::data)); },
          {user_data("01 02")},
          {data("01 02 03"), data("04 05")}}},
        {"ISDN/MCC",
         {[](S& s, int n, int t) { return s.make(n, t, isdn(false)); }, {user_data("08 01 85 7B")}, iFrames, sabme}},
        {"ISDN/ATS-QSIG",
         {[](S& s, int n, int t) { return s.make(n, t, ats_qsig()); }, {user_data("08 01 85 7B")}, iFrames, sabme}},
        {"ISDN/ATS-QSIG-B",
         {[](S& s, int n, int t) { return s.make(n, t, ats_qsig_b(n + 100, 1), false, {{n + 100, ats_qsig()}}); },
          {}}},
        {"RTP/rtp",
         {[](S& s, int n, int t) { return s.make(n, t, s.rtp(), true); }, dsp, {detection(7), detection(8)}}},
        {"Voice/mcc/player",
         {[](S& s, int n, int t) {
              C c;
              c.get_create().get_voice().get_player().get_network().set_host(loopback_host(s.peer->port));
              c.get_create().get_voice().get_player().get_network().set_id(7);
              return s.make(n, t, c);
          },
          {}}},
        {"Voice/mcc/recorder",
         {[](S& s, int n, int t) {
              C c;
              c.get_create().get_voice().set_record(loopback_host(s.peer->port));
              return s.make(n, t, c);
          },
          {}}},
        {"T.38 soft/t38 soft", {[](S& s, int n, int t) { return s.make(n, t, create_t38()); }, {}}},
        {"RTP Ext LEMZ/rtp ext LEMZ (GW)", {[](S& s, int n, int t) { return s.make(n, t, s.rtp(Radio::lemz), true); }, dsp}},
        {"RTP Ext ED137/rtp ext ED137 (GW)",
         {[](S& s, int n, int t) { return s.make(n, t, s.rtp(Radio::ed137), true); }, dsp}},
    };
    return rows;
}

// The stale slot talked with trunk slot 10 (line channel 33); its channel
// went with its device and the next slot has it now, talking with trunk
// slot ft (11, channel 34; or 10 itself). Late, the device hangs up in the
// loop pass that makes and joins the next slot, before the stale slot has
// read its end; in that pass the controller then joins the stale slot
// with trunk slot 12 (channel 35), which a slot that lost its channel
// refuses, and what reached the stale slot before the hang-up still
// reaches the controller, once and in order. The stale slot first takes
// the commands of first; the next slot is of row next, where given.
void check(StaleSlot& s, const SlotKind& kind, const Row& row, int old, bool late, int ft = 11,
           const Row* next = nullptr, const std::vector<C>& first = {})
{
    const int fresh = old + 1;
    const std::string line = ft == 10 ? "33" : "34";
    ASSERT_THAT(s.to(10, create_trunk(1, 1)), testing::Contains(s.ok(10)));
    ASSERT_THAT(s.to(11, create_trunk(1, 2)), testing::Contains(s.ok(11)));
    ASSERT_THAT(s.to(12, create_trunk(1, 3)), testing::Contains(s.ok(12)));

    const int channel = row.make(s, old, 10);
    ASSERT_GE(channel, 0);
    const std::string ch = std::to_string(channel);
    auto joined = [&] { return s.ask("switch " + ch) == "ok connected 33" || s.ask("switch 33") == "ok connected " + ch; };
    ASSERT_TRUE(joined());
    for (const C& c : first)
        EXPECT_THAT(s.to(old, c), testing::Contains(s.ok(old))) << c;
    if (late) {
        if (!row.opening.empty()) {
            ASSERT_EQ(s.ask("post " + kind.device + " " + StaleSlot::hex_digits(row.opening)), "ok 1");
            ASSERT_TRUE(s.hears("slot=" + std::to_string(old) + " activated"));
        }
        s.late = kind.device;
        for (const auto& record : row.input)
            s.posted.push_back(record.first);
        const unsigned to_old = unsigned(old);
        s.after = {{old, simple(C::e_connect, 12)}, {12, simple(C::e_connect, to_old)}};
    } else {
        ASSERT_THAT(s.ask("hangup " + kind.device), testing::StartsWith("ok "));
        ASSERT_TRUE(eventually([&] { return !joined(); })) << "the stale slot keeps its paths";
    }

    ASSERT_EQ((next ? *next : row).make(s, fresh, ft), channel) << "the driver gave another channel";
    if (late) {
        EXPECT_THAT(s.last, testing::Not(testing::Contains(s.ok(old)))) << "a join of the stale slot";
        EXPECT_THAT(s.last, testing::Not(testing::Contains(s.ok(12)))) << "a join to the stale slot";
        Texts input;
        for (const auto& record : row.input)
            input.push_back("slot=" + std::to_string(old) + " " + record.second);
        EXPECT_EQ(StaleSlot::among(s.last, input), input) << "what came before the loss, once each";
    }
    // The stale slot's end has been read by now.
    s.settle();
    EXPECT_TRUE(s.heard || s.said);
    if (s.heard) {
        EXPECT_EQ(s.ask("switch " + ch), "ok connected " + line);
    }
    if (s.said) {
        EXPECT_EQ(s.ask("switch " + line), "ok connected " + ch);
    }
    EXPECT_NE(s.ask("switch 35"), "ok connected " + ch);
    if (ft != 10) {
        EXPECT_FALSE(joined()) << "the stale slot's paths";
    }
    const std::string before = s.board_of(channel, line);
    const unsigned to_old = unsigned(old);
    std::vector<std::pair<int, C>> stale = {
        {old, simple(C::e_connect, 10)}, {10, simple(C::e_connect, to_old)}, {old, simple(C::e_connect, 11)},
        {11, simple(C::e_connect, to_old)}, {old, simple(C::e_disconnect)}, {old, simple(C::e_activate)},
        {old, simple(C::e_deactivate)},    {old, user_data("00")},
    };
    for (const C& c : row.own)
        stale.emplace_back(old, c);
    for (const auto& command : stale) {
        Texts answer = s.to(command.first, command.second);
        EXPECT_THAT(answer, testing::Not(testing::Contains(s.ok(command.first)))) << command.first << ": "
                                                                                  << command.second;
        EXPECT_EQ(s.board_of(channel, line), before) << command.second;
    }
    EXPECT_TRUE(s.destroyed(old));
    EXPECT_EQ(s.board_of(channel, line), before) << "destroy";
    if (ft != 10) {
        EXPECT_THAT(s.to(10, simple(C::e_destroy)), testing::Contains(s.ok(10)));
        EXPECT_EQ(s.board_of(channel, line), before) << "the trunk's destroy";
    }
}

// Each kind has slot numbers of its own: a slot whose child ends at its
// hang-up is still going when the next kind starts.
TEST_F(StaleSlot, LeavesItsChannelToTheSlotThatHasItNow)
{
    start("hup=200");
    port_first();
    peer.reset(new TcpListener);
    int old = 200;
    // Gone, their channels back with their drivers, before the next kind
    // asks for one.
    auto clear = [&] {
        for (int n : {old, old + 1, 10, 11, 12, old + 100, old + 101})
            destroyed(n);
    };
    for (bool late : {false, true})
        for (const SlotKind& kind : slot_kinds()) {
            if (kind.device.empty())
                continue;
            const std::string name = kind.factory + "/" + kind.kind;
            SCOPED_TRACE(name + (late ? ", loss read late" : ""));
            auto row = rows().find(name);
            EXPECT_NE(row, rows().end()) << "no row for the kind";
            if (row != rows().end())
                check(*this, kind, row->second, old += 2, late);
            clear();
        }
    // The claim inside a join: the next modem starts on the connection to
    // the very trunk that the stale one talked with, on the same paths.
    SCOPED_TRACE("dsp-modem on the stale modem's trunk, loss read late");
    check(*this, {"Modem", "dsp-modem", "/dev/mctl"}, rows().at("Modem/dsp-modem"), old += 2, true, 10);
    clear();
    // A codec change restarts the session, which holds its channel again:
    // the engine gives it next to a slot of another kind.
    SCOPED_TRACE("rtp after a codec change, then an ED-137 slot, loss read late");
    check(*this, {"RTP", "rtp", "/dev/rtp"}, rows().at("RTP/rtp"), old += 2, true, 11,
          &rows().at("RTP Ext ED137/rtp ext ED137 (GW)"),
          {ioctl_of([](LGCP::IoctlParams& i) { i.set_encoder_mode(LGCP::CodecMode::ulaw); })});
    clear();
}

// An HDLC link's controller channel is handed out like a slot's. Stale
// link: the next slot takes the channel from a link whose end is not read
// yet, and keeps its paths when it is; the link, deactivated, opens a
// fresh channel at its next activation; closed or destroyed, it leaves
// the channel to the next slot without a word. Stale slot: a link that
// opens again takes the channel of a slot whose end is not read yet, and a
// join of that slot cannot take the link's channel's output.
TEST_F(StaleSlot, AnHdlcLinksChannelIsHandedOutLikeASlots)
{
    start("hup=200");
    port_first();
    const std::vector<std::pair<std::string, C>> links = {
        {"hdlc", hdlc_params(1, 7)}, {"pstn ss7", ss7(1)}, {"pstn isdn", pstn_isdn(false, 2, false)}};
    int n = 150;
    for (const auto& link : links) {
        SCOPED_TRACE(link.first);
        n += 10;
        ASSERT_THAT(to(10, create_trunk(1, 1)), testing::Contains(ok(10)));
        ASSERT_THAT(to(11, create_trunk(1, 2)), testing::Contains(ok(11)));
        ASSERT_THAT(to(n, link.second), testing::Contains(ok(n)));
        ASSERT_THAT(to(10, simple(C::e_connect, unsigned(n))), testing::Contains(ok(10)));
        ASSERT_THAT(to(n, simple(C::e_connect, 10)), testing::Contains(ok(n)));
        reactivate(n, 33);
        const std::string linkChannel = ask("switch 33").substr(13);
        ASSERT_EQ(ask("switch " + linkChannel), "ok connected 33");

        // Frames for the packet slot's address, each ending its batch.
        if (link.first == "hdlc")
            posted = {"00 07 20 11 00", "00 07 20 22 00"};
        late = "/dev/mcc/ctl";
        const std::string ch = std::to_string(make(n + 1, 11, create_mcc(LGCP::MccType::data)));
        ASSERT_EQ(ch, linkChannel) << "the driver gave another channel";
        if (link.first != "pstn isdn") {
            EXPECT_THAT(last, testing::Contains("slot=" + std::to_string(n) + " deactivated networkError"));
        }
        if (link.first == "hdlc") {
            const std::string batch = "slot=" + std::to_string(n) + " ioctl hdlcPackages : { { body '";
            const Texts input = {batch + "11 00'H }}", batch + "22 00'H }}"};
            EXPECT_EQ(among(last, input), input) << "what came before the loss, once each";
        }
        settle();
        EXPECT_EQ(ask("switch " + ch), "ok connected 34");
        EXPECT_EQ(ask("switch 34"), "ok connected " + ch);
        // Opened again, the link has a channel of its own.
        to(n, simple(C::e_activate));
        const std::string again = ask("switch 33").substr(13);
        EXPECT_NE(again, ch);
        EXPECT_EQ(ask("switch " + again), "ok connected 33");
        EXPECT_EQ(ask("switch " + ch), "ok connected 34");

        // Closed (both joins gone), then destroyed, the link leaves no
        // holder behind: the next slot on its channel hears nothing of it.
        ASSERT_THAT(to(12, create_trunk(1, 3)), testing::Contains(ok(12)));
        const size_t lines = server.err().size();
        const std::string deactivated = "slot=" + std::to_string(n) + " deactivated";
        for (bool destroy : {false, true}) {
            if (destroy) {
                // Opened again, on the channel it had.
                to(10, simple(C::e_connect, unsigned(n)));
                to(n, simple(C::e_connect, 10));
                reactivate(n, 33);
                ASSERT_EQ(ask("switch 33"), "ok connected " + again);
                EXPECT_TRUE(destroyed(n));
            } else {
                to(10, simple(C::e_disconnect));
                to(n, simple(C::e_disconnect));
            }
            freed(again);
            EXPECT_EQ(std::to_string(make(n + 3, 12, create_mcc(LGCP::MccType::data))), again);
            EXPECT_THAT(last, testing::Not(testing::Contains(testing::StartsWith(deactivated))));
            settle();
            EXPECT_EQ(ask("switch " + again), "ok connected 35");
            EXPECT_EQ(ask("switch 35"), "ok connected " + again);
            destroyed(n + 3);
        }
        EXPECT_THAT(server.err().substr(lines), testing::Not(testing::HasSubstr("read error")));

        // The other way round: slot n + 2 had its channel before the link.
        for (int gone : {n, n + 1, 10, 11, 12})
            destroyed(gone);
        ASSERT_THAT(to(10, create_trunk(1, 1)), testing::Contains(ok(10)));
        ASSERT_THAT(to(20, create_trunk(2, 16)), testing::Contains(ok(20)));
        const std::string stale = std::to_string(make(n + 2, 10, create_mcc(LGCP::MccType::data)));
        to(10, simple(C::e_disconnect));
        to(n + 2, simple(C::e_disconnect));
        ASSERT_NE(ask("switch 33"), "ok connected " + stale);
        ASSERT_THAT(to(n, link.second), testing::Contains(ok(n)));
        ASSERT_THAT(to(20, simple(C::e_connect, unsigned(n))), testing::Contains(ok(20)));
        ASSERT_THAT(to(n, simple(C::e_connect, 20)), testing::Contains(ok(n)));
        reactivate(n, 80);
        ASSERT_EQ(ask("switch " + ask("switch 80").substr(13)), "ok connected 80");
        Texts pass = in_one_pass({{&board, "hangup /dev/mcc/ctl"}},
                                 {{n, simple(C::e_activate)}, {10, simple(C::e_connect, unsigned(n + 2))}});
        EXPECT_THAT(pass, testing::Not(testing::Contains(ok(10)))) << "a join of the stale slot";
        settle();
        EXPECT_EQ(ask("switch 80"), "ok connected " + stale) << "the link opened on another channel";
        EXPECT_EQ(ask("switch " + stale), "ok connected 80");
        const std::string lastChannel = ask("switch 80").substr(13);
        for (int gone : {n, n + 2, 10, 20})
            destroyed(gone);
        freed(lastChannel);
    }
}

// A link's own paths to a slot that loses its channel go with that slot's
// connection: the slot that the driver gives the channel next hears
// nothing of the link.
TEST_F(StaleSlot, ALinksPathsToASlotThatLostItsChannelGoWithIt)
{
    start("hup=200");
    const std::vector<std::pair<std::string, C>> links = {{"pstn isdn bri", pstn_isdn(true, 3, false)},
                                                          {"hdlc", hdlc_params(1, 7)}};
    int n = 130;
    for (const auto& link : links) {
        SCOPED_TRACE(link.first);
        n += 10;
        const bool bri = link.first != "hdlc";
        ASSERT_THAT(to(n, link.second), testing::Contains(ok(n)));
        const int channel = channel_in(to(n + 1, rtp()), n + 1);
        const std::string ch = std::to_string(channel);
        if (bri) {
            ASSERT_THAT(to(n + 2, create_mcc(LGCP::MccType::bri)), testing::Contains(ok(n + 2)));
            ASSERT_THAT(to(n + 2, simple(C::e_connect, unsigned(n))), testing::Contains(ok(n + 2)));
            to(n, simple(C::e_activate));
        }
        ASSERT_THAT(to(n, simple(C::e_connect, unsigned(n + 1))), testing::Contains(ok(n)));
        const std::string linkChannel = ask("switch " + ch).substr(13);
        ASSERT_FALSE(linkChannel.empty());
        const std::string fromLink = "ok connected " + linkChannel;

        ASSERT_THAT(ask("hangup /dev/rtp"), testing::StartsWith("ok "));
        EXPECT_TRUE(eventually([&] { return ask("switch " + ch) != fromLink; })) << "the link's path stays";
        if (!bri) {
            EXPECT_NE(ask("switch " + linkChannel), "ok connected " + ch);
        }
        EXPECT_EQ(channel_in(to(n + 3, rtp()), n + 3), channel) << "the driver gave another channel";
        settle();
        EXPECT_NE(ask("switch " + ch), fromLink) << "the next slot hears the link";
        for (int gone : {n, n + 1, n + 2, n + 3})
            destroyed(gone);
    }
}

} // namespace
