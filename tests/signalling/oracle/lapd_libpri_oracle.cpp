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
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "signalling/lapd.h"
#include "tests/signalling/hdlc_support.h"

namespace {

// The peer program with its frame socket (our end) and its event lines.
class Peer {
public:
    explicit Peer(const char* mode)
    {
        int frames[2], out[2], in[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, frames) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
            ::pipe2(in, O_CLOEXEC) != 0)
            return;
        pid = ::fork();
        if (pid == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(frames[1], 3);
            ::execl(LIBPRI_PEER, LIBPRI_PEER, mode, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(frames[1]);
        ::close(out[1]);
        ::close(in[0]);
        socket.reset(frames[0]);
        events.reset(out[0]);
        stdinW.reset(in[1]);
        NonBlockMode(socket.get());
        NonBlockMode(events.get());
    }
    ~Peer()
    {
        stdinW.reset(); // the peer ends when its input closes
        for (int i = 0; i < 100 && pid > 0; ++i) {
            if (::waitpid(pid, nullptr, WNOHANG) == pid)
                return;
            ::usleep(10000);
        }
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    // Reads what the peer printed; complete lines go to `lines`.
    void read_lines()
    {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(events.get(), buf, sizeof(buf))) > 0) {
            partial.append(buf, size_t(n));
            for (size_t end; (end = partial.find('\n')) != std::string::npos; partial.erase(0, end + 1))
                lines.push_back(partial.substr(0, end));
        }
    }
    bool saw(const std::string& line) const
    {
        for (const std::string& l : lines)
            if (l == line)
                return true;
        return false;
    }

    pid_t pid = -1;
    Fd socket, events, stdinW;
    std::vector<std::string> lines;
    std::string partial;
};

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

// One line of tshark's fields for a frame: TEI, N(S), N(R), expert text.
std::string ours(const std::string& f)
{
    std::string line = std::to_string(uint8_t(f[1]) >> 1) + "|";
    uint8_t control = uint8_t(f[2]);
    if ((control & 1) == 0)
        line += std::to_string(control >> 1);
    line += "|";
    if ((control & 3) != 3 && f.size() >= 4)
        line += std::to_string(uint8_t(f[3]) >> 1);
    return line + "|";
}

// Wireshark's LAPD dissector reads every frame our side sent (linktype
// 203): no expert finding, and the TEI and sequence numbers we put in.
// The C/R bit is checked here against the side: the capture has no
// direction, so the dissector cannot tell commands from responses.
void judge_with_tshark(const std::vector<std::string>& frames, ISDN::Side::type side, const std::string& name)
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
    std::string cmd = std::string(VB_TEXT2PCAP) + " -q -l 203 " + dir + "/frames.txt " + dir + "/frames.pcap && " +
                      VB_TSHARK + " -n -r " + dir + "/frames.pcap -T fields -E separator=/t -e lapd.tei" +
                      " -e lapd.control.n_s -e lapd.control.n_r -e _ws.expert.message > " + dir +
                      "/fields.tsv 2> " + dir + "/tshark.err";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::ifstream fields(dir + "/fields.tsv");
    std::string line;
    size_t index = 0, bad = 0;
    while (std::getline(fields, line) && index < frames.size()) {
        std::istringstream in(line);
        std::string tei, ns, nr, expert;
        std::getline(in, tei, '\t');
        std::getline(in, ns, '\t');
        std::getline(in, nr, '\t');
        std::getline(in, expert, '\t');
        const std::string& f = frames[index++];
        if (ours(f) != tei + "|" + ns + "|" + nr + "|" + expert && ++bad <= 5)
            ADD_FAILURE() << "frame " << index << ": ours " << ours(f) << ", tshark " << line;
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
    Peer peer(run.mode);
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

} // namespace
