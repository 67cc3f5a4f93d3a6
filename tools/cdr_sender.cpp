#include "tools/cdr_sender.h"

#include <sys/socket.h>

#include <cerrno>
#include <sstream>

#include "runtime/inet4_addr.h"

namespace CDR_Sender {

Sender::Sender() : mSocket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}

bool Sender::SendTo(const std::string& record, const std::string& destinations)
{
    if (!mSocket)
        return false;
    bool all = true;
    std::istringstream words(destinations);
    for (std::string word; words >> word;) {
        INet4::Addr to;
        int port = -1;
        // Without a port the datagram would go nowhere.
        if (!to.Assign(word, &port) || port <= 0) {
            all = false;
            continue;
        }
        ssize_t n;
        do
            n = ::sendto(mSocket.get(), record.data(), record.size(), 0, to.sa(), INet4::Addr::size());
        while (n < 0 && errno == EINTR);
        if (n != static_cast<ssize_t>(record.size()))
            all = false;
    }
    return all;
}

} // namespace CDR_Sender
