#include "tests/e2e/board_port.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstring>

#include "tests/e2e/server_process.h"

namespace vbtest {

bool BoardPort::connect(pid_t pid, int timeout_ms)
{
    std::string name = "voxbridge-simboard-" + std::to_string(pid);
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path + 1, name.data(), name.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return eventually([&] {
        mSocket.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        if (::connect(mSocket.get(), reinterpret_cast<sockaddr*>(&a), len) == 0)
            return true;
        mSocket.reset();
        return false;
    }, timeout_ms);
}

bool BoardPort::send(const std::string& command)
{
    return ::send(mSocket.get(), command.data(), command.size(), MSG_NOSIGNAL) == ssize_t(command.size());
}

std::string BoardPort::answer(int timeout_ms)
{
    pollfd p{mSocket.get(), POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1)
        return std::string();
    char buf[65536];
    ssize_t n = ::recv(mSocket.get(), buf, sizeof(buf), 0);
    std::string answer = n > 0 ? std::string(buf, size_t(n)) : std::string();
    if (!answer.empty() && answer.back() == '\n')
        answer.pop_back();
    return answer;
}

} // namespace vbtest
