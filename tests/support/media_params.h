// Creation parameters of the mixer and voice slots, as the media tests
// and the end-to-end flows build them.
#pragma once

#include "server/schema/LGCP.h"

namespace vbtest {

inline LGCP::MixerChannel tdm(int n)
{
    LGCP::MixerChannel c;
    c.set_tdm(n);
    return c;
}

inline TERM::HostAddress loopback_host(int port)
{
    TERM::HostAddress h;
    h.set_iaddr("127.0.0.1");
    h.set_port(port);
    return h;
}

} // namespace vbtest
