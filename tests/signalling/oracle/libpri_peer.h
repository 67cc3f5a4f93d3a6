// The libpri peer program (LIBPRI_PEER) as a child process: its frame
// socket (our end), its event lines and its input, which ends it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "runtime/fd.h"

namespace vbtest {

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

} // namespace vbtest
