// "/dev/misc/gw-wd" of the simulated board: the hardware watchdog. It keeps
// every command written to it ("START", "PING", "STOP") with the loop time
// at which it came.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simboard/board.h"

namespace SimBoard {

class Watchdog : public Model {
public:
    struct Command {
        std::string text;
        uint32_t ms;
    };

    ssize_t write(Channel& channel, int fd, const void* buf, size_t count) override;
    bool watches_closes() const override { return false; }

    const std::vector<Command>& commands() const { return mCommands; }

private:
    std::vector<Command> mCommands;
};

} // namespace SimBoard
