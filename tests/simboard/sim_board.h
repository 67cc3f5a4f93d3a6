// A simulated board installed as the device driver while it lives, for any
// test of code that opens board devices.
#pragma once

#include "board/device.h"
#include "board/e1_requests.h"
#include "board/hal_requests.h"
#include "board/mcc_requests.h"
#include "simboard/board.h"
#include "simboard/e1.h"
#include "simboard/hal.h"
#include "simboard/mcc.h"
#include "simboard/watchdog.h"

namespace vbtest {

struct SimulatedBoard {
    SimBoard::Board board;
    Device::ScopedDriver installed{board};

    SimBoard::Hal& hal() { return *board.find<SimBoard::Hal>(Device::Hal::kDevice); }
    SimBoard::Watchdog& watchdog() { return *board.find<SimBoard::Watchdog>("/dev/misc/gw-wd"); }
    SimBoard::MccController& mcc() { return *board.find<SimBoard::MccController>(Device::Mcc::kDevice); }
    SimBoard::E1Maintenance& maintenance() { return *board.find<SimBoard::E1Maintenance>(GetMaintenance()); }
    SimBoard::E1Cas& cas() { return *board.find<SimBoard::E1Cas>(Device::Cas::kDevice); }
};

} // namespace vbtest
