// libss7, a separate program, judges the SS7 link: our link runs on an HDLC
// channel of the simulated board, whose line end this program relays to
// libss7's line (with seeded loss once aligned). Both sides must reach in
// service with normal and with emergency proving, libss7's MTP3 must come
// up after its link test, and answer each of our link tests (SLTM, Q.707)
// with one SLTA carrying the same pattern, in order. tshark then reads
// every unit our link sent and must find each well formed.
//
// libss7 takes a FISU that it hears while proving for the end of its own
// proving, goes aligned ready, and then drops the repeats of that same
// FISU as duplicates: it never reaches in service when our emergency
// proving (500 ms, as its own) ends first, which a loaded machine decides.
// The line therefore holds our FISUs and MSUs until libss7 says that its
// proving has ended; meanwhile libss7 keeps hearing our last status unit
// and ends proving on its own timer.
//
// Usage: ss7_oracle PEER TSHARK WORKDIR SEED COUNT
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "server/switch/hw_mux.h"
#include "signalling/hdlc.h"
#include "signalling/ss7_slc.h"
#include "tests/runtime/loop_support.h"
#include "tests/runtime/packet_support.h"
#include "tests/signalling/oracle/ss7_oracle_support.h"
#include "tests/simboard/sim_board.h"

namespace {

using vbtest::FnEvent;
using vbtest::FnTimer;
using vbtest::run_until;

const unsigned kOurPc = 1000, kPeerPc = 2000, kSlc = 3, kLineChannel = 5;

int failures = 0;

void check(bool ok, const std::string& what)
{
    if (!ok) {
        ++failures;
        std::cout << "ss7_oracle: FAILED: " << what << std::endl;
    }
}

// Our MTP3 stand-in: answers libss7's link tests and collects its answers.
struct Mtp3 : ProtocolsList {
    std::vector<std::string> answers; // test patterns of the SLTAs received
    SS7::SLC* link = nullptr;

    void send(const std::string& msu)
    {
        Packet out;
        link->prepare_head(out);
        for (char c : msu)
            out.put(static_cast<uint8_t>(c));
        link->message(out);
    }

    void on_message(Packet& p) override
    {
        if (std::getenv("SS7_PEER_DEBUG"))
            std::cerr << "mtp3 rx " << p.text() << std::endl;
        std::string msu = vbtest::content(p);
        if (is_tra(msu)) {
            // Its restart ends when the adjacent point allows traffic too
            // (Q.704 9).
            send(tra(kPeerPc, kOurPc, kSlc));
            return;
        }
        Mtp3Message m;
        if (!parse(msu, m) || m.dpc != kOurPc || m.opc != kPeerPc)
            return;
        if (m.heading == kSltm) {
            send(sltm(m.sio, kPeerPc, kOurPc, kSlc, m.pattern, kSlta)); // SLS = the link code
        } else if (m.heading == kSlta) {
            answers.push_back(m.pattern);
        }
    }
};

struct Peer {
    pid_t pid = -1;
    Fd line, events;

    // libss7's own trace goes to log.
    bool start(const char* program, const std::string& log)
    {
        int pair[2], out[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return false;
        pid = ::fork();
        if (pid == 0) {
            ::dup2(pair[1], 3);
            ::dup2(out[1], 1);
            int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (err >= 0 && ::dup2(err, 2) >= 0)
                ::setenv("SS7_PEER_DEBUG", "1", 1);
            std::string pc = std::to_string(kPeerPc), adj = std::to_string(kOurPc), slc = std::to_string(kSlc);
            ::execl(program, program, pc.c_str(), adj.c_str(), slc.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(pair[1]);
        ::close(out[1]);
        line.reset(pair[0]);
        events.reset(out[0]);
        NonBlockMode(line.get());
        NonBlockMode(events.get());
        return pid > 0;
    }
    void stop()
    {
        line.reset();
        events.reset();
        int status;
        if (pid > 0 && ::waitpid(pid, &status, WNOHANG) == 0) {
            ::usleep(100000);
            if (::waitpid(pid, &status, WNOHANG) == 0) {
                ::kill(pid, SIGTERM);
                ::waitpid(pid, &status, 0);
            }
        }
        pid = -1;
    }
};

// One run against a fresh libss7: our link on an HDLC channel of a
// simulated board, whose line end is relayed to the helper's line.
class Case {
public:
    Case(const char* program, const std::string& dir, bool emergency, int attempt, unsigned seed,
         std::vector<std::string>& sent)
        : name(emergency ? "emergency: " : "normal: "),
          peerLog(dir + "/libss7_" + (emergency ? "e" : "n") + std::to_string(attempt) + ".log"),
          trace(dir + "/link_" + (emergency ? "e" : "n") + std::to_string(attempt) + ".log"), rng(seed), sent(sent)
    {
        // Our link's trace beside libss7's, for a failure to be read.
        clogBuf = std::clog.rdbuf(trace.rdbuf());
        cerrBuf = std::cerr.rdbuf(trace.rdbuf());
        sim.board.set_recording(false);
        mtp3.link = slc;
        mtp3.add_protocol_tail(slc);
        slc->dpc = kPeerPc;
        slc->opc = kOurPc;
        slc->slc = kSlc;
        slc->emergency = emergency;
        slc->traces.state = slc->traces.raw_receive = slc->traces.raw_transmit = slc->traces.msu_processing = true;
        hdlc.notify = slc;
        hdlc.parameters.tdm = kLineChannel;
        hdlc.parameters.type = 0;
        slc->hdlc = &hdlc;
        started = hdlc.activate() && peer.start(program, peerLog);
        check(started, name + "the HDLC channel opens and libss7 starts");
        if (!started)
            return;
        events.fn = [this](int fd, short revents) { read_events(fd, revents); };
        events.watch(peer.events);
        fromPeer.fn = [this](int fd, short revents) { from_peer(fd, revents); };
        fromPeer.watch(peer.line);
        relay.fn = [this] { tick(); };
        relay.arm(1);
    }
    ~Case()
    {
        std::clog.rdbuf(clogBuf);
        std::cerr.rdbuf(cerrBuf);
        relay.timer.reset();
        events.ev.Release(); // the loop's duplicates keep the line open
        fromPeer.ev.Release();
        peer.stop();
        hdlc.deactivate();
    }

    // Both sides in service; false (and nothing counted) when libss7 said
    // nothing and this is not the last try.
    bool align(bool lastTry)
    {
        if (!started)
            return true;
        slc->local_activate();
        bool up = run_until(
            [&] { return slc->state_id() == SS7::SLC::in_service && (has("MTP2 link up") || has("SS7 up")); }, 45000);
        if (!up && !lastTry) {
            std::cout << name << "libss7 stayed silent (its trace: " << peerLog << "); once more" << std::endl;
            return false;
        }
        check(up, name + "both sides in service (libss7 said: " + peerEvents + "; its trace: " + peerLog + ")");
        return true;
    }

    void exchange(unsigned count)
    {
        if (!started)
            return;
        lossy = true;
        check(run_until([&] { return has("SS7 up"); }, 30000), name + "libss7's MTP3 up after its link test");
        std::vector<std::string> patterns;
        for (unsigned i = 0; i < count; ++i) {
            std::string p;
            for (unsigned k = 0; k < 15; ++k)
                p += static_cast<char>(rng());
            p[0] = static_cast<char>(i), p[1] = static_cast<char>(i >> 8);
            patterns.push_back(p);
        }
        unsigned next = 0;
        bool done = run_until(
            [&] {
                while (next < count && next < mtp3.answers.size() + 40)
                    mtp3.send(sltm(0x81, kPeerPc, kOurPc, kSlc, patterns[next++], kSltm));
                return mtp3.answers.size() >= count;
            },
            60000);
        check(done, name + "every link test answered within 60 s (" + std::to_string(mtp3.answers.size()) + " of " +
                        std::to_string(count) + ")");
        run_until([] { return false; }, 300); // any late duplicate shows
        check(mtp3.answers == patterns, name + "one SLTA per SLTM, same pattern, in order");
        check(slc->state_id() == SS7::SLC::in_service, name + "our link stayed in service");
        SS7::SLC::Statistics s = slc->statistics();
        std::cout << name << "sent " << s.msuTxCount << " units, received " << s.msuRxCount << ", " << s.repeatCntr
                  << " retransmissions, " << s.badSeqCntr << " negative acknowledgements" << std::endl;
    }

private:
    bool has(const char* line) const { return peerEvents.find(line) != std::string::npos; }
    // The state that libss7's link entered last.
    bool peer_in(const std::string& state) const
    {
        size_t at = peerEvents.rfind("MTP2 state ");
        return at != std::string::npos && peerEvents.compare(at + 11, state.size() + 1, state + "\n") == 0;
    }
    // A FISU or MSU of ours while libss7 has not finished proving.
    bool held(const std::string& unit) const
    {
        bool status = unit.size() >= 4 && (unit[2] & 63) >= 1 && (unit[2] & 63) <= 2;
        return !status && !peer_in("ALIGNEDREADY") && !peer_in("INSERVICE");
    }
    bool keep() { return !lossy || rng() % 100 != 0; }

    void read_events(int fd, short revents)
    {
        char buf[256];
        ssize_t n;
        if (revents & POLLIN)
            while ((n = ::read(fd, buf, sizeof buf)) > 0)
                peerEvents.append(buf, static_cast<size_t>(n));
    }

    void from_peer(int fd, short revents)
    {
        char buf[600];
        ssize_t n;
        if (revents & POLLIN)
            while ((n = ::read(fd, buf, sizeof buf)) > 0) {
                lastFromPeer.assign(buf, static_cast<size_t>(n));
                if (keep())
                    toLine.push_back(lastFromPeer);
            }
        flush();
    }

    // The line: seeded loss aside it loses nothing (units wait while a
    // socket is full), and it repeats the last unit each side sent every
    // 100 ms, lost or not, as a line does: a lost acknowledgement or
    // negative acknowledgement is seen again.
    void tick()
    {
        for (std::string u; !(u = lineEnd.take()).empty();) {
            sent.push_back(u);
            lastToPeer = u;
            if (keep())
                toPeer.push_back(u);
        }
        if (++ticks % 100 == 0) {
            if (toLine.empty() && !lastFromPeer.empty() && keep())
                toLine.push_back(lastFromPeer);
            if (toPeer.empty() && !lastToPeer.empty() && keep())
                toPeer.push_back(lastToPeer);
        }
        flush();
        relay.arm(1);
    }

    void flush()
    {
        while (!toLine.empty() && lineEnd.send(toLine.front()) > 0)
            toLine.pop_front();
        while (!toPeer.empty() && !held(toPeer.front()) &&
               ::write(peer.line.get(), toPeer.front().data(), toPeer.front().size()) > 0)
            toPeer.pop_front();
    }

    std::string name, peerLog;
    std::ofstream trace;
    std::streambuf* clogBuf;
    std::streambuf* cerrBuf;
    std::mt19937 rng;
    std::vector<std::string>& sent;
    vbtest::SimulatedBoard sim;
    HwMux::Scoped mux;
    SimBoard::SwitchPath::LineEnd& lineEnd = sim.hal().path().line(kLineChannel);
    Mtp3 mtp3;
    SS7::SLC* slc = new SS7::SLC; // owned by mtp3
    HDLC hdlc{1};
    Peer peer;
    bool started = false, lossy = false;
    std::string peerEvents, lastFromPeer, lastToPeer;
    std::deque<std::string> toLine, toPeer;
    unsigned ticks = 0;
    FnEvent events, fromPeer;
    FnTimer relay;
};

void run(const char* program, const std::string& dir, bool emergency, unsigned seed, unsigned count,
         std::vector<std::string>& sent)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        Case c(program, dir, emergency, attempt, seed + 2 * attempt, sent);
        if (c.align(attempt == 1)) {
            c.exchange(count);
            return;
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::cerr << "usage: ss7_oracle PEER TSHARK WORKDIR SEED COUNT" << std::endl;
        return 2;
    }
    unsigned seed = static_cast<unsigned>(std::atoi(argv[4]));
    unsigned count = static_cast<unsigned>(std::atoi(argv[5]));
    ::mkdir(argv[3], 0755);
    std::vector<std::string> sent;
    run(argv[1], argv[3], false, seed, count, sent);
    run(argv[1], argv[3], true, seed + 1, count, sent);
    check_with_tshark(argv[2], std::string(argv[3]) + "/ss7_units.pcap", sent, check);
    std::cout << "ss7_oracle: " << (failures ? "FAILED" : "passed") << ", " << sent.size() << " units checked"
              << std::endl;
    return failures ? 1 : 0;
}
