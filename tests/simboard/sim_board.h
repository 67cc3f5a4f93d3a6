// A simulated board installed as the device driver while it lives, for any
// test of code that opens board devices.
#pragma once

#include "runtime/device.h"
#include "simboard/board.h"
#include "simboard/hal.h"
#include "simboard/watchdog.h"

namespace vbtest {

struct SimulatedBoard {
    SimBoard::Board board;
    Device::ScopedDriver installed{board};

    SimBoard::Hal& hal() { return *board.find<SimBoard::Hal>("/dev/hal"); }
    SimBoard::Watchdog& watchdog() { return *board.find<SimBoard::Watchdog>("/dev/misc/gw-wd"); }
};

} // namespace vbtest
