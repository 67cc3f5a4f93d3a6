// Mode switches for standard input when it is a terminal.
#pragma once

namespace Console {

// Raw keystrokes without echo (signals from the keyboard still work);
// the result of tcsetattr. Failures are written to std::cerr.
int SwitchToBinaryMode();
// Non-blocking reads from standard input; the result of the ioctl.
int SwitchToNonBlockMode();

} // namespace Console
