// libpri judges the data link: our layer runs on an HDLC channel of the
// simulated board in real time, the test plays the channel's line end and
// relays its frames, losing a seeded 3% each way, to a libpri peer that
// runs as a separate program (LIBPRI_PEER). Over the link go STATUS
// ENQUIRY messages with distinct call references; each must be answered by
// exactly one message of the same call reference, in order.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "signalling/lapd.h"
#include "signalling/lapd_nt.h"
#include "tests/signalling/hdlc_support.h"
#include "tests/signalling/oracle/libpri_peer.h"

namespace {

struct PeerRun {
    const char* mode;
    ISDN::Side::type side;
    bool bri;
    unsigned messages;
};

// Owner of our link: keeps STATUS ENQUIRY messages flowing while the link
// is up, re-activates it after every end, and records the answers.
struct Owner : ProtocolsFamily {
    ISDN::LAPD* link = nullptr;
    PeerRun run{};
    unsigned queued = 0;
    bool up = false;
    std::vector<unsigned> answers; // call references, in arrival order
    vbtest::FnTimer again;

    void on_activated(Protocol*) override { up = true; }
    void on_deactivated(Protocol*, Protocol_status) override
    {
        up = false;
        again.arm(100, [this] { link->activate(); });
    }
    void on_message(Packet& p) override
    {
        std::string m = vbtest::content(p);
        if (m.size() < 3 || m[0] != 0x08)
            return;
        unsigned length = uint8_t(m[1]) & 0x0F;
        if (length == 0 || m.size() < 3 + length)
            return;
        unsigned cr = 0;
        for (unsigned i = 0; i < length; ++i)
            cr = cr << 8 | uint8_t(m[2 + i]);
        answers.push_back(cr & ~(0x80u << (8 * (length - 1))));
    }
    void feed()
    {
        while (up && queued < run.messages && link->out_count() < 60) {
            unsigned cr = ++queued;
            Packet p;
            link->prepare_head(p);
            p.put(0x08);
            if (run.bri) {
                p.put(1);
                p.put(static_cast<uint8_t>(cr));
            } else {
                p.put(2);
                p.put16_b(static_cast<uint16_t>(cr));
            }
            p.put(0x75); // STATUS ENQUIRY
            link->message(p);
        }
    }
};

// One line of tshark's fields for a frame: TEI, N(S), N(R), with `tei`
// the TEI management message type, action indicator and reference, then
// the expert text.
std::string ours(const std::string& f, bool tei)
{
    std::string line = std::to_string(uint8_t(f[1]) >> 1) + "|";
    uint8_t control = uint8_t(f[2]);
    if ((control & 1) == 0)
        line += std::to_string(control >> 1);
    line += "|";
    if ((control & 3) != 3 && f.size() >= 4)
        line += std::to_string(uint8_t(f[3]) >> 1);
    line += "|";
    if (tei) {
        if (uint8_t(f[0]) >> 2 == 63 && f.size() >= 8)
            // The reference as tshark reads it: high octet first.
            line += std::to_string(uint8_t(f[6])) + "|" + std::to_string(uint8_t(f[7]) >> 1) + "|" +
                    std::to_string(uint8_t(f[4]) << 8 | uint8_t(f[5])) + "|";
        else
            line += "|||";
    }
    return line;
}

// Wireshark's LAPD dissector reads every frame our side sent (linktype
// 203): no expert finding, and the TEI and sequence numbers we put in.
// The C/R bit is checked here against the side: the capture has no
// direction, so the dissector cannot tell commands from responses.
void judge_with_tshark(const std::vector<std::string>& frames, ISDN::Side::type side, const std::string& name,
                       bool tei = false)
{
    std::string dir = std::string(LAPD_ORACLE_DIR) + "/" + name;
    ASSERT_EQ(std::system(("mkdir -p " + dir).c_str()), 0);
    std::ofstream dump(dir + "/frames.txt");
    for (const std::string& f : frames) {
        dump << "0000";
        for (unsigned char b : f) {
            char hex[4];
            std::snprintf(hex, sizeof(hex), " %02x", b);
            dump << hex;
        }
        dump << "\n";
    }
    dump.close();
    std::string teiFields = tei ? " -e tei.msg -e tei.action -e tei.reference" : "";
    std::string cmd = std::string(VB_TEXT2PCAP) + " -q -l 203 " + dir + "/frames.txt " + dir + "/frames.pcap && " +
                      VB_TSHARK + " -n -r " + dir + "/frames.pcap -T fields -E separator=/t -e lapd.tei" +
                      " -e lapd.control.n_s -e lapd.control.n_r" + teiFields + " -e _ws.expert.message > " + dir +
                      "/fields.tsv 2> " + dir + "/tshark.err";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::ifstream fields(dir + "/fields.tsv");
    std::string line;
    size_t index = 0, bad = 0;
    while (std::getline(fields, line) && index < frames.size()) {
        std::istringstream in(line);
        std::string theirs, field;
        for (int i = tei ? 7 : 4; i > 0; --i) {
            field.clear();
            std::getline(in, field, '\t');
            theirs += field + (i > 1 ? "|" : "");
        }
        const std::string& f = frames[index++];
        if (ours(f, tei) != theirs && ++bad <= 5)
            ADD_FAILURE() << "frame " << index << ": ours " << ours(f, tei) << ", tshark " << line;
        uint8_t control = uint8_t(f[2]);
        bool command = (control & 1) == 0 || (control & 0xEF) == 0x6F || (control & 0xEF) == 0x43 ||
                       (control & 0xEF) == 0x03;
        bool response = (control & 0xEF) == 0x63 || (control & 0xEF) == 0x0F;
        bool cr = (uint8_t(f[0]) & 2) != 0;
        if (command) {
            EXPECT_EQ(cr, side == ISDN::Side::network) << "command C/R, frame " << index;
        }
        if (response) {
            EXPECT_EQ(cr, side == ISDN::Side::user) << "response C/R, frame " << index;
        }
    }
    EXPECT_EQ(index, frames.size());
}

void exercise(const PeerRun& run)
{
    vbtest::SwitchedBoard board;
    vbtest::Peer peer(run.mode);
    ASSERT_GT(peer.pid, 0);
    HDLC hdlc(1);
    hdlc.parameters.tdm = 5;
    hdlc.parameters.type = 1;
    ASSERT_TRUE(hdlc.activate());
    SimBoard::SwitchPath::LineEnd& line = board.line(5);

    Owner owner;
    owner.run = run;
    owner.link = new ISDN::LAPD(run.side, 0);
    owner.link->hdlc = &hdlc;
    if (run.bri)
        owner.link->change_to_bri();
    hdlc.notify = owner.link;
    owner.add_protocol_tail(owner.link);

    std::vector<std::string> sent;
    std::mt19937 random(20240611);
    auto lost = [&] { return std::uniform_int_distribution<int>(0, 99)(random) < 3; };
    vbtest::FnEvent fromPeer("peer frames"), peerLines("peer lines");
    fromPeer.fn = [&](int fd, short revents) {
        if (!(revents & POLLIN))
            return;
        char frame[512];
        ssize_t n;
        while ((n = ::recv(fd, frame, sizeof(frame), 0)) > 0)
            if (!lost())
                line.send(std::string(frame, size_t(n)));
    };
    fromPeer.watch(peer.socket);
    peerLines.fn = [&](int, short revents) {
        if (revents & POLLIN)
            peer.read_lines();
    };
    peerLines.watch(peer.events);
    vbtest::FnDpc toPeer([&] {
        while (line.waiting()) {
            std::string frame = line.take();
            sent.push_back(frame);
            if (!lost())
                ::send(peer.socket.get(), frame.data(), frame.size(), MSG_NOSIGNAL);
        }
        owner.feed();
    });
    toPeer.dpc.Activate();

    owner.link->activate();
    bool done = vbtest::run_until([&] { return owner.answers.size() >= run.messages; }, 60000);
    peer.read_lines();
    EXPECT_TRUE(done) << owner.answers.size() << " answers; link state " << owner.link->state_text();
    std::vector<unsigned> expected;
    for (unsigned cr = 1; cr <= run.messages; ++cr)
        expected.push_back(cr);
    EXPECT_EQ(owner.answers, expected) << "one answer per call reference, in order";
    EXPECT_TRUE(peer.saw("up"));
    if (run.bri) {
        EXPECT_NE(owner.link->full_state().ownTEI, 0);
        EXPECT_TRUE(peer.saw("tei " + std::to_string(owner.link->full_state().ownTEI)));
    }
    fromPeer.ev.Release();
    peerLines.ev.Release();
    judge_with_tshark(sent, run.side, run.mode);
}

TEST(LibpriOracle, PriNetworkAgainstOurUserSide)
{
    exercise(PeerRun{"pri-net", ISDN::Side::user, false, 200});
}

TEST(LibpriOracle, PriCpeAgainstOurNetworkSide)
{
    exercise(PeerRun{"pri-cpe", ISDN::Side::network, false, 200});
}

TEST(LibpriOracle, BriNetworkPointToMultipointAgainstOurBriUserSide)
{
    exercise(PeerRun{"bri-nt", ISDN::Side::user, true, 100});
}

// The network side's owner in these runs: frames go to the bus relay,
// layer 3 up is recorded.
struct NtTop : ProtocolsFamily {
    ISDN::LAPD_NT* nt = new ISDN::LAPD_NT;
    std::function<void(const std::string&)> wire;
    std::vector<std::string> up;

    NtTop() { add_protocol_tail(nt); }
    bool transmit(Packet& p) override
    {
        wire(vbtest::content(p));
        return true;
    }
    void on_message(Packet& p) override { up.push_back(vbtest::content(p)); }
    bool send(const std::string& octets)
    {
        Packet p = vbtest::make_packet(octets, 8);
        return nt->message(p);
    }
};

// Lines of the peer that begin with `prefix`.
std::vector<std::string> lines_with(const vbtest::Peer& peer, const std::string& prefix)
{
    std::vector<std::string> found;
    for (const std::string& l : peer.lines)
        if (l.rfind(prefix, 0) == 0)
            found.push_back(l);
    return found;
}

// libpri as nine BRI terminals on our network side's bus, in real time:
// eight get TEIs 64..71, the ninth is denied; a broadcast SETUP rings the
// eight; one answers, its CONNECT goes up, the CONNECT ACKNOWLEDGE from
// above reaches it alone; a check started by an identity verify keeps
// every TEI. With loss, a seeded share of the I and S frames is lost each
// way once the TEIs are given.
void exercise_bus(double loss, const std::string& name)
{
    vbtest::Peer peer("bri-te9");
    ASSERT_GT(peer.pid, 0);
    NtTop top;
    std::vector<std::string> sent;
    std::mt19937 random(20240624);
    bool lossy = false;
    auto lost = [&](const std::string& f) {
        return lossy && f.size() >= 3 && (f[2] & 3) != 3 && std::uniform_real_distribution<double>(0, 1)(random) < loss;
    };
    top.wire = [&](const std::string& f) {
        sent.push_back(f);
        if (!lost(f))
            ::send(peer.socket.get(), f.data(), f.size(), MSG_NOSIGNAL);
    };
    vbtest::FnEvent fromPeer("peer frames"), peerLines("peer lines");
    fromPeer.fn = [&](int fd, short revents) {
        char frame[512];
        ssize_t n;
        while ((revents & POLLIN) && (n = ::recv(fd, frame, sizeof(frame), 0)) > 0)
            if (!lost(std::string(frame, size_t(n)))) {
                Packet p = vbtest::make_packet(std::string(frame, size_t(n)));
                top.nt->receive(p);
            }
    };
    fromPeer.watch(peer.socket);
    peerLines.fn = [&](int, short revents) {
        if (revents & POLLIN)
            peer.read_lines();
    };
    peerLines.watch(peer.events);
    top.nt->activate();

    ASSERT_TRUE(vbtest::run_until(
        [&] { return lines_with(peer, "tei ").size() >= 8 && !lines_with(peer, "denied ").empty(); }, 20000))
        << "TEIs: " << lines_with(peer, "tei ").size();
    std::map<int, int> teiOf; // terminal -> TEI
    std::set<int> teis;
    for (const std::string& l : lines_with(peer, "tei ")) {
        int t = 0, tei = 0;
        std::sscanf(l.c_str(), "tei %d %d", &t, &tei);
        teiOf[t] = tei;
        teis.insert(tei);
    }
    EXPECT_EQ(teis, (std::set<int>{64, 65, 66, 67, 68, 69, 70, 71}));
    lossy = loss > 0;

    // SETUP, call reference 5: bearer capability speech, B1 preferred.
    EXPECT_TRUE(top.send(vbtest::bytes({0x08, 0x01, 0x05, 0x05, 0x04, 0x03, 0x80, 0x90, 0xA3, 0x18, 0x01, 0x81})));
    EXPECT_TRUE(vbtest::run_until([&] { return lines_with(peer, "ring ").size() >= 8; }, 10000));
    for (auto [t, tei] : teiOf)
        EXPECT_EQ(lines_with(peer, "ring " + std::to_string(t) + " ").size(), 1u) << "terminal " << t;
    int chosen = 0;
    for (auto [t, tei] : teiOf)
        if (tei == 67)
            chosen = t;
    std::string answer = "answer " + std::to_string(chosen) + "\n";
    ASSERT_EQ(::write(peer.stdinW.get(), answer.data(), answer.size()), ssize_t(answer.size()));
    auto connect = [&] {
        for (const std::string& m : top.up)
            if (m.size() >= 4 && uint8_t(m[2]) == 0x85 && m[3] == 0x07)
                return true;
        return false;
    };
    EXPECT_TRUE(vbtest::run_until(connect, 10000)) << "no CONNECT for call 5 came up";
    EXPECT_TRUE(top.send(vbtest::bytes({0x08, 0x01, 0x05, 0x0F}))); // CONNECT ACKNOWLEDGE
    EXPECT_TRUE(vbtest::run_until([&] { return !lines_with(peer, "connect_ack ").empty(); }, 10000));
    vbtest::run_until([] { return false; }, 500);
    EXPECT_EQ(lines_with(peer, "connect_ack "), std::vector<std::string>{"connect_ack " + std::to_string(chosen)});

    // Identity verify from a terminal: the check runs at once.
    size_t before = sent.size();
    Packet verify = vbtest::make_packet(vbtest::bytes({0xFC, 0xFF, 0x03, 0x0F, 0x00, 0x00, 0x07, 0xFF}));
    top.nt->receive(verify);
    vbtest::run_until([] { return false; }, ISDN::LAPD_NT_user::kCheckTime + 1000);
    for (size_t i = before; i < sent.size(); ++i)
        EXPECT_FALSE(sent[i].size() >= 7 && uint8_t(sent[i][0]) == 0xFE && sent[i][6] == 6) << "identity remove sent";
    for (int tei : teis)
        EXPECT_NE(top.nt->find_Tei(uint8_t(tei)), nullptr) << "TEI " << tei << " lost in the check";
    EXPECT_EQ(lines_with(peer, "tei ").size(), 8u);
    fromPeer.ev.Release();
    peerLines.ev.Release();
    judge_with_tshark(sent, ISDN::Side::network, name, true);
}

TEST(LibpriOracle, NineBriTerminalsAgainstOurNetworkSide)
{
    exercise_bus(0, "bri-te9");
}

TEST(LibpriOracle, NineBriTerminalsOnALossyBus)
{
    exercise_bus(0.02, "bri-te9-lossy");
}

} // namespace
