// Text forms used by the event loop's status dump.
#pragma once

#include <string>

// The names of the set poll bits joined by "|", e.g. "POLLIN|POLLOUT";
// unknown bits are left out, no bit gives "".
std::string PollEventAsText(short events);
