// LGCP commands as the call flows send them to the running server.
#pragma once

#include <string>

#include "tests/support/create_commands.h"
#include "tests/support/lgcp_frames.h"

namespace vbtest {

// The frame of c for slot n, without a sequence number.
inline std::string to_slot(const LGCP::Command& c, int n)
{
    return lgcp(c, -1, n);
}

// A command with its simplest content.
inline LGCP::Command simple(LGCP::Command::Choices which, unsigned target = 0)
{
    LGCP::Command c;
    c.select(which);
    which == LGCP::Command::e_connect ? c.set_connect(target) : void();
    which == LGCP::Command::e_activate ? c.get_activate().set_empty() : void();
    return c;
}

inline LGCP::Command create_ext(int tx, int rx)
{
    LGCP::Command c;
    c.get_create().get_ext().set_transmitter(tx);
    c.get_create().get_ext().set_receiver(rx);
    return c;
}

} // namespace vbtest
