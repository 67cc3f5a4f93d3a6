#include "simboard/watchdog.h"

#include "runtime/mux_time.h"

namespace SimBoard {

ssize_t Watchdog::write(Channel&, int, const void* buf, size_t count)
{
    if (recording())
        mCommands.push_back(Command{std::string(static_cast<const char*>(buf), count), Mux::milliseconds()});
    return static_cast<ssize_t>(count);
}

} // namespace SimBoard
