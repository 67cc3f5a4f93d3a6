// The test port of the simulated board behind a running voxbridge: one text
// command per datagram, one answer line ("ok ..." or "error ...").
#pragma once

#include <sys/types.h>

#include <string>

#include "runtime/fd.h"

namespace vbtest {

class BoardPort {
public:
    BoardPort() = default;
    // Connects to the port of process pid, trying until it is served.
    explicit BoardPort(pid_t pid, int timeout_ms = 5000) { connect(pid, timeout_ms); }

    bool connect(pid_t pid, int timeout_ms = 5000);
    bool connected() const { return static_cast<bool>(mSocket); }
    // The answer line without its newline; "" when none came in time.
    std::string ask(const std::string& command, int timeout_ms = 5000)
    {
        return send(command) ? answer(timeout_ms) : std::string();
    }
    // The two halves of ask, for a test that waits for the command's effect first.
    bool send(const std::string& command);
    std::string answer(int timeout_ms = 5000);

private:
    Fd mSocket;
};

} // namespace vbtest
