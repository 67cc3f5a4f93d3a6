#include "runtime/packet_quota.h"

#include <cassert>

namespace PacketQuota {

namespace {
unsigned gQueued = 0;
unsigned gReserveOpen = 0;
} // namespace

unsigned queued()
{
    return gQueued;
}

void hold(unsigned n)
{
    gQueued += n;
}

void release(unsigned n)
{
    assert(n <= gQueued);
    gQueued -= n;
}

bool reserve_open()
{
    return gReserveOpen != 0;
}

ReserveAccess::ReserveAccess(bool open) : mOpen(open)
{
    if (mOpen)
        ++gReserveOpen;
}

ReserveAccess::~ReserveAccess()
{
    if (mOpen)
        --gReserveOpen;
}

} // namespace PacketQuota
