// A stand-in for an SNMP agent process, for the end-to-end tests: it
// listens on loopback, takes the gateway's links, writes every MON message
// it receives as one line of value notation (--log) and as "MON <hex>"
// (--frames), and answers pings unless told to stay silent.
// A stalled agent (--stalled) keeps a 1 KiB receive buffer, never reads,
// and sends a ping answer every second; a flooding one (--flood N) first
// sends two junk octets and N frames that the gateway cannot use (bad PDUs
// and commands, in turn), then serves as usual.
//
//   mon_agent_standin --port-file F [--port N] [--log F] [--frames F] [--silent]
//                     [--stalled] [--flood N]
//
// The port it listens on (N, or one of the kernel's choice) is written to
// the port file once it listens. SIGTERM ends it.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/monitoring/mon_support.h"
#include "tests/support/test_support.h"

namespace {

volatile sig_atomic_t stop = 0;

void onTerm(int)
{
    stop = 1;
}

struct Options {
    uint16_t port = 0;
    std::string portFile, log, frames;
    bool silent = false;
    bool stalled = false;
    unsigned flood = 0;
};

bool parse(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool more = i + 1 < argc;
        if (a == "--silent")
            o.silent = true;
        else if (a == "--stalled")
            o.stalled = true;
        else if (a == "--flood" && more)
            o.flood = static_cast<unsigned>(std::atoi(argv[++i]));
        else if (a == "--port" && more)
            o.port = static_cast<uint16_t>(std::atoi(argv[++i]));
        else if (a == "--port-file" && more)
            o.portFile = argv[++i];
        else if (a == "--log" && more)
            o.log = argv[++i];
        else if (a == "--frames" && more)
            o.frames = argv[++i];
        else
            return false;
    }
    return !o.portFile.empty();
}

void append(const std::string& path, const std::string& line)
{
    if (path.empty())
        return;
    std::ofstream out(path, std::ios::app);
    out << line << "\n";
}

struct Link {
    int fd;
    std::string buffer;
};

// Every whole frame of the link; false once the gateway has closed it.
bool serve(Link& link, const Options& o)
{
    char buf[65536];
    ssize_t n = ::read(link.fd, buf, sizeof(buf));
    if (n <= 0)
        return false;
    link.buffer.append(buf, static_cast<size_t>(n));
    for (const std::string& payload : vbtest::take_frames(link.buffer)) {
        append(o.frames, "MON " + vbtest::hex(payload));
        MON::Message m;
        if (!vbtest::mon_decode(payload, m)) {
            append(o.log, "undecodable " + vbtest::hex(payload));
            continue;
        }
        append(o.log, vbtest::mon_line(m));
        bool ping = m.get_pdu().is_command() && m.get_pdu().get_command().is_ping();
        if (ping && !o.silent) {
            std::string frame = vbtest::mon_frame(vbtest::ping_answer());
            (void)!::write(link.fd, frame.data(), frame.size());
        }
    }
    return true;
}

void flood(int fd, unsigned frames)
{
    MON::Message command;
    command.get_pdu().get_command().set_ping();
    const std::string bad[] = {std::string{3, 0, 0, 5, char(0xC0)}, vbtest::mon_frame(command)};
    std::string bytes = "\x55\x55";
    for (unsigned i = 0; i < frames; ++i)
        bytes += bad[i % 2];
    vbtest::write_all(fd, bytes);
}

// A ping answer to every stalled link; false for a link that is gone.
bool answer_stalled(const Link& link)
{
    std::string frame = vbtest::mon_frame(vbtest::ping_answer());
    return ::send(link.fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0 || errno == EAGAIN;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: %s --port-file F [--port N] [--log F] [--frames F] [--silent] [--stalled] "
                     "[--flood N]\n",
                     argv[0]);
        return 2;
    }
    struct sigaction sa = {};
    sa.sa_handler = onTerm;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    uint16_t port = 0;
    int listener = vbtest::listen_loopback(o.port, port, o.stalled ? 1024 : 0);
    if (listener < 0) {
        std::perror("listen");
        return 1;
    }
    // Written whole, then renamed: a reader never sees half a number.
    std::string temp = o.portFile + ".tmp";
    append(temp, std::to_string(port));
    ::rename(temp.c_str(), o.portFile.c_str());

    std::vector<Link> links;
    time_t lastAnswer = ::time(nullptr);
    while (!stop) {
        std::vector<pollfd> fds{{listener, POLLIN, 0}};
        for (const Link& l : links)
            fds.push_back({l.fd, short(o.stalled ? 0 : POLLIN), 0});
        int ready = ::poll(fds.data(), fds.size(), 200);
        if (o.stalled && ::time(nullptr) != lastAnswer) {
            lastAnswer = ::time(nullptr);
            for (size_t i = 0; i < links.size(); ++i)
                if (!answer_stalled(links[i]))
                    fds[i + 1].revents = POLLERR;
        }
        if (ready < 0)
            continue;
        if (fds[0].revents & POLLIN) {
            int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                links.push_back({fd, std::string()});
                flood(fd, o.flood);
            }
        }
        for (size_t i = fds.size() - 1; i >= 1; --i) {
            bool gone = o.stalled ? (fds[i].revents & (POLLERR | POLLHUP)) != 0
                                  : fds[i].revents && !serve(links[i - 1], o);
            if (gone) {
                ::close(links[i - 1].fd);
                links.erase(links.begin() + static_cast<long>(i - 1));
            }
        }
    }
    for (const Link& l : links)
        ::close(l.fd);
    ::close(listener);
    return 0;
}
