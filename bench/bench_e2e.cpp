// The voxbridge program on loopback, as a controller sees it, beside a
// plain TCP echo of the same frame sizes in a single-threaded poll() process
// (the machine's limit for an event-loop server): ping round trips (p50,
// p99 over 10,000, the two peers in turn), pipelined pings with 32
// outstanding with the CPU time each process spent, and create + destroy
// pairs. Each figure is reported with its ratio to the echo.
// RTP slots: create + destroy pairs beside trunk pairs, and the latency of
// a DTMF detection (played through the board's test port) to its tonec
// signal beside ping round trips. A layer-3 message through a PRI
// signalling slot, its data link and the simulated switch to an MCC data
// slot beside ping round trips.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "tests/e2e/board_port.h"
#include "tests/e2e/server_process.h"
#include "tests/support/rtp_peer.h"
#include "tests/support/lgcp_frames.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kRoundTrips = 10000;
const int kWarmUp = 1000;
const int kPipelined = 100000;
const int kOutstanding = 32;
const int kPairs = 2000;

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

void send_all(int fd, const std::string& bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error("send failed");
        done += static_cast<size_t>(n);
    }
}

// TPKT frames read off a connection. The server also reports its line
// states every second; frames other than the one awaited are passed over.
class Frames {
public:
    explicit Frames(int fd) : mFd(fd) {}

    // The next frame; throws when the connection ends.
    std::string next()
    {
        for (;;) {
            if (mBuffer.size() - mAt >= 4) {
                size_t len = std::max<size_t>(4, uint8_t(mBuffer[mAt + 2]) << 8 | uint8_t(mBuffer[mAt + 3]));
                if (mBuffer.size() - mAt >= len) {
                    std::string frame = mBuffer.substr(mAt, len);
                    mAt += len;
                    return frame;
                }
            }
            mBuffer.erase(0, mAt);
            mAt = 0;
            char buf[65536];
            ssize_t n = ::recv(mFd, buf, sizeof(buf), 0);
            if (n <= 0)
                throw std::runtime_error("connection lost");
            mBuffer.append(buf, static_cast<size_t>(n));
        }
    }
    void await(const std::string& frame)
    {
        while (next() != frame) {
        }
    }
    // Every frame but the line states that arrives within a quiet 50 ms.
    std::vector<std::string> settle()
    {
        std::vector<std::string> frames;
        pollfd p{mFd, POLLIN, 0};
        while (mBuffer.size() > mAt || ::poll(&p, 1, 50) > 0) {
            std::string frame = next();
            if (text(frame).find("trunkStatus") == std::string::npos)
                frames.push_back(frame);
        }
        return frames;
    }
    static std::string text(const std::string& frame)
    {
        return vbtest::message_text(frame.data() + 4, frame.size() - 4, true);
    }

private:
    int mFd;
    std::string mBuffer;
    size_t mAt = 0;
};

Fd connect_to(uint16_t port)
{
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
        throw std::runtime_error("connect failed");
    int one = 1;
    ::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return s;
}

// Answers every request of `in` bytes with the frame `out`: a process of
// its own, single-threaded, waiting in poll() as an event-loop server does
// at the least.
class Echo {
public:
    Echo(size_t in, const std::string& out) : mIn(in), mOut(out)
    {
        Fd listening(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        ::bind(listening.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a));
        ::listen(listening.get(), 4);
        ::getsockname(listening.get(), reinterpret_cast<sockaddr*>(&a), &len);
        mPort = ntohs(a.sin_port);
        mPid = ::fork();
        if (mPid == 0) {
            // Copies of the bench's connections would keep them open.
            for (int fd = 3; fd < 1024; ++fd)
                if (fd != listening.get())
                    ::close(fd);
            serve(listening.get());
            ::_exit(0);
        }
        if (mPid < 0)
            throw std::runtime_error("no echo process");
    }
    ~Echo()
    {
        ::kill(mPid, SIGTERM);
        ::waitpid(mPid, nullptr, 0);
    }
    uint16_t port() const { return mPort; }
    pid_t pid() const { return mPid; }

private:
    void serve(int listening)
    {
        std::vector<pollfd> fds{{listening, POLLIN, 0}};
        std::vector<size_t> pending{0};
        std::string answers;
        char buf[65536];
        for (;;) {
            if (::poll(fds.data(), fds.size(), -1) < 0)
                continue;
            for (size_t i = fds.size(); i-- > 1;) {
                if (!fds[i].revents)
                    continue;
                ssize_t n = ::recv(fds[i].fd, buf, sizeof(buf), MSG_DONTWAIT);
                if (n < 0 && errno == EAGAIN)
                    continue;
                pending[i] += n > 0 ? static_cast<size_t>(n) : 0;
                answers.clear();
                for (; pending[i] >= mIn; pending[i] -= mIn)
                    answers += mOut;
                if (n <= 0 || (!answers.empty() && ::send(fds[i].fd, answers.data(), answers.size(), MSG_NOSIGNAL) <= 0)) {
                    ::close(fds[i].fd);
                    fds.erase(fds.begin() + static_cast<long>(i));
                    pending.erase(pending.begin() + static_cast<long>(i));
                }
            }
            if (fds[0].revents) {
                int c = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
                int one = 1;
                ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
                if (c >= 0)
                    fds.push_back(pollfd{c, POLLIN, 0}), pending.push_back(0);
            }
        }
    }

    size_t mIn;
    std::string mOut;
    uint16_t mPort = 0;
    pid_t mPid = -1;
};

// User and system time of a process so far, in microseconds.
double cpu_us(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The fields after the command name, which may hold blanks: state is
    // the third field, utime the fourteenth, stime the fifteenth.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::stod(field);
    return ticks * 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// One voxbridge on a free port and an echo of its ping frame sizes, for
// every benchmark of the run.
struct Setup {
    vbtest::ServerProcess server;
    std::string ping = vbtest::tpkt(vbtest::lgcp(vbtest::command(true), 1000));
    std::string pong;
    std::unique_ptr<Echo> echo;

    Setup()
    {
        if (!server.start())
            throw std::runtime_error("voxbridge did not start: " + server.err());
        std::unique_ptr<vbtest::Controller> probe = controller();
        send_all(probe->fd(), ping);
        std::vector<std::string> answers = Frames(probe->fd()).settle();
        if (answers.size() != 1 || Frames::text(answers[0]) != "seq=1000 success")
            throw std::runtime_error("voxbridge did not answer the ping");
        pong = answers[0];
        echo.reset(new Echo(ping.size(), pong));
    }

    static Setup& get()
    {
        static Setup setup;
        return setup;
    }

    // A controller connection, its first messages read off.
    std::unique_ptr<vbtest::Controller> controller()
    {
        auto c = std::make_unique<vbtest::Controller>();
        if (!c->connect(server.port()))
            throw std::runtime_error("voxbridge took no controller");
        Frames(c->fd()).settle();
        return c;
    }
};

// Round trips of the two peers, taken one by one in turn, so that the
// machine's changing load falls on both alike; sorted.
struct Trips {
    std::vector<double> server, echo;
};
double round_trip(int fd, Frames& frames, const std::string& request, const std::string& answer)
{
    auto t0 = Clock::now();
    send_all(fd, request);
    frames.await(answer);
    return micros(Clock::now() - t0);
}

// Round trips of one peer alone; sorted.
std::vector<double> round_trips(int fd, const std::string& request, const std::string& answer)
{
    Frames frames(fd);
    for (int i = 0; i < kWarmUp; ++i)
        round_trip(fd, frames, request, answer);
    std::vector<double> t;
    for (int i = 0; i < kRoundTrips; ++i)
        t.push_back(round_trip(fd, frames, request, answer));
    std::sort(t.begin(), t.end());
    return t;
}

Trips round_trips(int server, int echo, const std::string& request, const std::string& answer)
{
    Frames toServer(server), toEcho(echo);
    auto once = [&](int fd, Frames& frames) { return round_trip(fd, frames, request, answer); };
    for (int i = 0; i < kWarmUp; ++i)
        once(server, toServer), once(echo, toEcho);
    Trips t;
    for (int i = 0; i < kRoundTrips; ++i)
        t.server.push_back(once(server, toServer)), t.echo.push_back(once(echo, toEcho));
    std::sort(t.server.begin(), t.server.end());
    std::sort(t.echo.begin(), t.echo.end());
    return t;
}

// Requests per second with `kOutstanding` in flight.
double pipelined(int fd, const std::string& request, const std::string& answer)
{
    Frames frames(fd);
    std::string burst;
    for (int i = 0; i < kOutstanding; ++i)
        burst += request;
    auto t0 = Clock::now();
    send_all(fd, burst);
    for (int sent = kOutstanding, done = 0; done < kPipelined;) {
        frames.await(answer);
        ++done;
        if (sent < kPipelined)
            send_all(fd, request), ++sent;
    }
    return kPipelined / std::chrono::duration<double>(Clock::now() - t0).count();
}

void PingRoundTrip(benchmark::State& state)
{
    Setup& s = Setup::get();
    std::vector<double> server, echo;
    for (auto _ : state) {
        auto c = s.controller();
        Fd e = connect_to(s.echo->port());
        Trips t = round_trips(c->fd(), e.get(), s.ping, s.pong);
        server = t.server;
        echo = t.echo;
    }
    auto at = [](const std::vector<double>& v, int permille) { return v[v.size() * permille / 1000]; };
    state.counters["p50_us"] = at(server, 500);
    state.counters["p99_us"] = at(server, 990);
    state.counters["echo_p50_us"] = at(echo, 500);
    state.counters["echo_p99_us"] = at(echo, 990);
    state.counters["p50_ratio"] = at(server, 500) / at(echo, 500);
    state.counters["p99_ratio"] = at(server, 990) / at(echo, 990);
}
void PipelinedPings(benchmark::State& state)
{
    Setup& s = Setup::get();
    double server = 0, echo = 0, serverCpu = 0, echoCpu = 0;
    for (auto _ : state) {
        auto c = s.controller();
        double cpu = cpu_us(s.server.pid());
        server = pipelined(c->fd(), s.ping, s.pong);
        serverCpu = (cpu_us(s.server.pid()) - cpu) / kPipelined;
        Fd e = connect_to(s.echo->port());
        cpu = cpu_us(s.echo->pid());
        echo = pipelined(e.get(), s.ping, s.pong);
        echoCpu = (cpu_us(s.echo->pid()) - cpu) / kPipelined;
    }
    state.counters["pings_per_s"] = server;
    state.counters["echo_per_s"] = echo;
    state.counters["ratio"] = server / echo;
    // CPU time (user + system) per ping of the server, per frame of the echo.
    state.counters["cpu_us_per_ping"] = serverCpu;
    state.counters["echo_cpu_us_per_frame"] = echoCpu;
    state.counters["cpu_ratio"] = serverCpu / echoCpu;
}
// Pairs of create (an external slot, answered with its stream signal) and
// destroy, one command at a time; the echo makes the same two round trips.
void CreateDestroyPairs(benchmark::State& state)
{
    Setup& s = Setup::get();
    LGCP::Command create, destroy;
    create.get_create().get_ext().set_transmitter(10);
    create.get_create().get_ext().set_receiver(20);
    destroy.set_destroy();
    std::string creating = vbtest::tpkt(vbtest::lgcp(create, 1000, 7));
    std::string destroying = vbtest::tpkt(vbtest::lgcp(destroy, 1000, 7));
    double server = 0, echo = 0;
    for (auto _ : state) {
        auto c = s.controller();
        Frames frames(c->fd());
        // What each command brings back, seen once: the create's answer and
        // its stream signal, the destroy's answer.
        send_all(c->fd(), creating);
        std::vector<std::string> created = frames.settle();
        send_all(c->fd(), destroying);
        std::vector<std::string> destroyed = frames.settle();
        if (created.empty() || Frames::text(created[0]) != "seq=1000 slot=7 success" || destroyed.size() != 1) {
            state.SkipWithError("no slot kind makes external slots in this build");
            return;
        }
        // A pair of the server, then two round trips of the echo, in turn.
        Fd e = connect_to(s.echo->port());
        Frames echoed(e.get());
        Clock::duration serverTime{}, echoTime{};
        for (int i = 0; i < kPairs; ++i) {
            auto t0 = Clock::now();
            send_all(c->fd(), creating);
            frames.await(created.back());
            send_all(c->fd(), destroying);
            frames.await(destroyed.back());
            auto t1 = Clock::now();
            for (int k = 0; k < 2; ++k)
                send_all(e.get(), s.ping), echoed.await(s.pong);
            serverTime += t1 - t0;
            echoTime += Clock::now() - t1;
        }
        server = kPairs / std::chrono::duration<double>(serverTime).count();
        echo = kPairs / std::chrono::duration<double>(echoTime).count();
    }
    state.counters["pairs_per_s"] = server;
    state.counters["echo_pairs_per_s"] = echo;
    state.counters["ratio"] = server / echo;
}
// Pairs per second of one create and one destroy of slot 7, answered in turn.
double pairs_per_s(Frames& frames, int fd, const LGCP::Command& create, int pairs)
{
    LGCP::Command destroy;
    destroy.set_destroy();
    std::string creating = vbtest::tpkt(vbtest::lgcp(create, 1000, 7));
    std::string destroying = vbtest::tpkt(vbtest::lgcp(destroy, 1000, 7));
    send_all(fd, creating);
    std::vector<std::string> created = frames.settle();
    send_all(fd, destroying);
    std::vector<std::string> destroyed = frames.settle();
    if (created.empty() || Frames::text(created[0]) != "seq=1000 slot=7 success" || destroyed.empty())
        throw std::runtime_error("slot 7 was not made: " + (created.empty() ? "" : Frames::text(created[0])));
    auto t0 = Clock::now();
    for (int i = 0; i < pairs; ++i) {
        send_all(fd, creating);
        frames.await(created.back());
        send_all(fd, destroying);
        frames.await(destroyed.back());
    }
    return pairs / std::chrono::duration<double>(Clock::now() - t0).count();
}

LGCP::Command create_rtp_towards(const vbtest::Remote& remote)
{
    LGCP::Command c = vbtest::create_rtp(remote.port);
    TERM::HostAddress& shost = c.get_create().get_rtp().get_codecRTP().include_shost();
    shost.set_iaddr("127.0.0.1");
    shost.set_port(vbtest::free_rtp_port());
    return c;
}

// RTP pairs beside trunk pairs (goal: an RTP pair at most 2.5 times a trunk pair).
void RtpCreateDestroyPairs(benchmark::State& state)
{
    Setup& s = Setup::get();
    vbtest::Remote remote;
    LGCP::Command trunk;
    trunk.get_create().get_trunk().set_trunk(0);
    trunk.get_create().get_trunk().set_timeslot(1);
    double rtp = 0, trunks = 0;
    for (auto _ : state) {
        auto c = s.controller();
        Frames frames(c->fd());
        rtp = pairs_per_s(frames, c->fd(), create_rtp_towards(remote), kPairs);
        trunks = pairs_per_s(frames, c->fd(), trunk, kPairs);
    }
    state.counters["rtp_pairs_per_s"] = rtp;
    state.counters["trunk_pairs_per_s"] = trunks;
    state.counters["rtp_pair_cost_ratio"] = trunks / rtp;
}

// A detection on an RTP slot's channel, from the test port's command to
// the controller's tonec signal, beside ping round trips on the same
// connection (goal: p50 at most 1.5 times the ping's).
void DtmfToTonecLatency(benchmark::State& state)
{
    Setup& s = Setup::get();
    vbtest::Remote remote;
    std::vector<double> dtmf, ping;
    for (auto _ : state) {
        auto c = s.controller();
        Frames frames(c->fd());
        send_all(c->fd(), vbtest::tpkt(vbtest::lgcp(create_rtp_towards(remote), 1000, 8)));
        std::vector<std::string> created = frames.settle();
        if (created.size() < 2)
            throw std::runtime_error("no RTP slot");
        std::string active = Frames::text(created[1]);
        std::string channel = active.substr(active.rfind(": ") + 2);
        LGCP::Command enable;
        enable.get_ioctl().set_dtmf_enable(true);
        send_all(c->fd(), vbtest::tpkt(vbtest::lgcp(enable, 1000, 8)));
        frames.settle();
        vbtest::BoardPort port(s.server.pid());
        std::string command = "dtmf " + channel + " 5 1234";
        if (port.ask(command) != "ok 1")
            throw std::runtime_error("the test port played no detection");
        std::vector<std::string> signal = frames.settle();
        if (signal.size() != 1)
            throw std::runtime_error("no tonec signal");
        for (int i = 0; i < kWarmUp + kRoundTrips; ++i) {
            auto t0 = Clock::now();
            port.send(command);
            frames.await(signal[0]);
            if (i >= kWarmUp)
                dtmf.push_back(micros(Clock::now() - t0));
            port.answer();
        }
        std::sort(dtmf.begin(), dtmf.end());
        ping = round_trips(c->fd(), s.ping, s.pong);
    }
    auto at = [](const std::vector<double>& v, int permille) { return v[v.size() * permille / 1000]; };
    state.counters["dtmf_p50_us"] = at(dtmf, 500);
    state.counters["dtmf_p99_us"] = at(dtmf, 990);
    state.counters["ping_p50_us"] = at(ping, 500);
    state.counters["ping_p99_us"] = at(ping, 990);
    state.counters["p50_ratio"] = at(dtmf, 500) / at(ping, 500);
}

// A frame of a userData signal for the slot.
std::string user_data_signal(unsigned slot, const std::string& octets)
{
    LGCP::PDU pdu;
    pdu.get_signal().get_userData().assign(octets.begin(), octets.end());
    return vbtest::tpkt(vbtest::lgcp(pdu, -1, int(slot)));
}

std::string user_data_command(unsigned slot, const std::string& octets)
{
    LGCP::Command c;
    c.get_userData().assign(octets.begin(), octets.end());
    return vbtest::tpkt(vbtest::lgcp(c, -1, int(slot)));
}

// A PRI user side on slot 1 joined to an MCC data slot on 2 that plays the
// network: each message from the controller on 1 comes back as the I
// frame's userData on 2 (timed), and 2 acknowledges it (not timed).
// Messages per second count both. Goal: p50 at most 3 times the ping's.
void PriLayer3RoundTrip(benchmark::State& state)
{
    Setup& s = Setup::get();
    // The server's time, not the simulated line's.
    if (vbtest::BoardPort(s.server.pid()).ask("mcc-rate 1000000000000") != "ok")
        throw std::runtime_error("the test port took no line rate");
    std::vector<double> trips, ping;
    double perSecond = 0;
    for (auto _ : state) {
        auto c = s.controller();
        Frames frames(c->fd());
        LGCP::Command pri, mcc, join;
        LGCP::IsdnParams& p = pri.get_create().get_pstn().get_isdn();
        p.set_type(LGCP::IsdnType::pri), p.set_trunk(1), p.set_log(0), p.get_side().set_user();
        mcc.get_create().get_mcc().set_type(LGCP::MccType::data);
        mcc.get_create().get_mcc().set_mode(LGCP::MccMode::standard);
        join.set_connect(1);
        send_all(c->fd(), vbtest::tpkt(vbtest::lgcp(pri, -1, 1)) + vbtest::tpkt(vbtest::lgcp(mcc, -1, 2)) +
                              vbtest::tpkt(vbtest::lgcp(join, -1, 2)));
        frames.await(user_data_signal(2, std::string("\x00\x01\x7f", 3)));
        send_all(c->fd(), user_data_command(2, std::string("\x00\x01\x73", 3)));
        LGCP::PDU up;
        up.get_signal().set_activated();
        frames.await(vbtest::tpkt(vbtest::lgcp(up, -1, 1)));
        const std::string message("\x08\x02\x00\x01\x05", 5);
        const std::string sending = user_data_command(1, message);
        auto t0 = Clock::now();
        for (int i = 0; i < kWarmUp + kRoundTrips; ++i) {
            unsigned ns = unsigned(i) & 127;
            auto t1 = Clock::now();
            send_all(c->fd(), sending);
            frames.await(user_data_signal(2, std::string{0, 1, char(ns << 1), 0} + message));
            if (i >= kWarmUp)
                trips.push_back(micros(Clock::now() - t1));
            else
                t0 = Clock::now();
            send_all(c->fd(), user_data_command(2, std::string{0, 1, 1, char(((ns + 1) & 127) << 1)}));
        }
        perSecond = kRoundTrips / std::chrono::duration<double>(Clock::now() - t0).count();
        std::sort(trips.begin(), trips.end());
        ping = round_trips(c->fd(), s.ping, s.pong);
    }
    auto at = [](const std::vector<double>& v, int permille) { return v[v.size() * permille / 1000]; };
    state.counters["l3_p50_us"] = at(trips, 500);
    state.counters["l3_p99_us"] = at(trips, 990);
    state.counters["messages_per_s"] = perSecond;
    state.counters["ping_p50_us"] = at(ping, 500);
    state.counters["p50_ratio"] = at(trips, 500) / at(ping, 500);
}

// The server's resident set in bytes, and how many descriptors it holds.
long rss_bytes(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/statm");
    long size = 0, resident = 0;
    in >> size >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

// T.38 slots made and destroyed on a server of its own whose engine (the
// tests' stand-in, quiet) runs until its SIGTERM: what 9,000 cycles past
// the first 1,000 add to the server's RSS, per cycle. Nothing a slot
// leaves behind may pile up, however many come and go.
void T38CyclesRss(benchmark::State& state)
{
    vbtest::ServerProcess server;
    ::mkdir(server.path("/usr/local/sbin").c_str(), 0755);
    if (::symlink(VB_STANDIN, server.path("/usr/local/sbin/t38").c_str()) != 0 || !server.start())
        throw std::runtime_error("voxbridge did not start with the stand-in engine");
    vbtest::Controller c(server.port());
    LGCP::Command create, destroy;
    create.get_create().get_t38soft().get_dhost().set_iaddr("127.0.0.1");
    create.get_create().get_t38soft().set_rx_packet_size(160);
    destroy.set_destroy();
    const std::string creating = vbtest::lgcp(create, -1, 2), destroying = vbtest::lgcp(destroy, -1, 2);
    auto cycles = [&](int n) {
        for (int i = 0; i < n; ++i) {
            c.send(creating);
            c.send(destroying);
            if (c.sync().empty())
                throw std::runtime_error("no answer to a create and destroy");
        }
    };
    for (auto _ : state) {
        cycles(1000);
        long settled = rss_bytes(server.pid());
        cycles(9000);
        long grown = rss_bytes(server.pid()) - settled;
        state.counters["rss_kb_at_1000"] = double(settled) / 1024;
        state.counters["bytes_per_cycle"] = double(grown) / 9000;
    }
}

// A failure (the server gone, say) ends the benchmark with its reason, and
// the server is still stopped and its files removed.
template <void (*Body)(benchmark::State&)>
void Guarded(benchmark::State& state)
{
    try {
        Body(state);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

BENCHMARK(Guarded<PingRoundTrip>)->Name("PingRoundTrip")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Guarded<PipelinedPings>)->Name("PipelinedPings")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Guarded<CreateDestroyPairs>)->Name("CreateDestroyPairs")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Guarded<RtpCreateDestroyPairs>)->Name("RtpCreateDestroyPairs")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Guarded<DtmfToTonecLatency>)->Name("DtmfToTonecLatency")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Guarded<PriLayer3RoundTrip>)->Name("PriLayer3RoundTrip")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Guarded<T38CyclesRss>)->Name("T38CyclesRss")->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
