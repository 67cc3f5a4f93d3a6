#include "runtime/console.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <iostream>

namespace Console {

int SwitchToBinaryMode()
{
    struct termios attrs;
    // Zeroed so a failed read never hands stack garbage to tcsetattr.
    std::memset(&attrs, 0, sizeof(attrs));
    if (::tcgetattr(STDIN_FILENO, &attrs) != 0)
        std::cerr << "can't obtain terminal attributes" << std::endl;
    attrs.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOPRT | ECHOCTL);
    int rc = ::tcsetattr(STDIN_FILENO, TCSADRAIN, &attrs);
    if (rc != 0)
        std::cerr << "can't set terminal attributes" << std::endl;
    return rc;
}

int SwitchToNonBlockMode()
{
    int on = 1;
    int rc = ::ioctl(STDIN_FILENO, FIONBIO, &on);
    if (rc != 0)
        std::cerr << "can't switch terminal to blocked mode" << std::endl;
    return rc;
}

} // namespace Console
