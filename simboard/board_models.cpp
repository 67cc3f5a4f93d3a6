// The devices of the simulated board. A new device model is added here.
#include "simboard/board.h"
#include "simboard/hal.h"
#include "simboard/watchdog.h"

namespace SimBoard {

void Board::add_board_models()
{
    add("/dev/hal", std::make_unique<Hal>());
    add("/dev/misc/gw-wd", std::make_unique<Watchdog>());
}

} // namespace SimBoard
