// A slot kind's own cause for turning down the command being carried out.
// The slot table's answer that follows (insufficientResources for a create
// that no factory served, unsupported for a hook that said no) is then
// dropped, since a command gets one answer.
#pragma once

#include "server/slots/slots.h"

inline void RefuseCommand(LGCP::ErrorCause::NamedNumber cause)
{
    Slots::instance()->Error(cause);
}
