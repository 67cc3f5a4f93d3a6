// Host name and the IPv4 addresses of the network interfaces.
#pragma once

#include <list>
#include <string>

#include "runtime/inet4_addr.h"

namespace Net {

// Inclusion flags of ifconfig. An interface is listed when any set flag
// matches it, or always when no flag is set.
typedef unsigned ifconfig_mode_t;
enum : ifconfig_mode_t {
    if_not_loopback = 1, // name other than "lo" (any case)
    if_link_local = 2,   // 169.254.0.0/16
    if_private = 4,      // 192.168.0.0/16, 172.16.0.0/12, 10.0.0.0/8
};

// "" when gethostname fails.
std::string hostname();
int hostname(const std::string& name);

// Appends the address of every matching interface; the count appended, or
// -1 when the query socket or the interface listing fails.
int ifconfig(std::list<INet4::Addr>& out, ifconfig_mode_t mode);
// Appends the names of the matching interfaces whose flags hold every bit
// of flags; the count appended, or -1 as above.
int ifconfig(std::list<std::string>& out, ifconfig_mode_t mode, unsigned flags);

} // namespace Net
