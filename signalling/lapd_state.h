// The state of one Q.921 data link (ITU-T Q.921 clause 5): the link state,
// the addresses, the exception flags, the timers that run and the
// modulo-128 state variables. A plain record, copied into every status
// report so the report shows the link as it was.
#pragma once

#include <iosfwd>

#include "runtime/cyclic.h"

namespace ISDN {

struct Side {
    enum type { user = 0, network = 1 };
};
std::ostream& operator<<(std::ostream& out, Side::type side);

// Link states, Q.921 SDL state numbering (values of ACP::LAPDState).
enum LinkState : unsigned {
    kTeiUnassigned = 0,
    kAssignAwaitingTei = 1,
    kEstablishAwaitingTei = 2,
    kTeiAssigned = 3,
    kAwaitingEstablishment = 4,
    kAwaitingRelease = 5,
    kMultipleFrameEstablished = 6,
    kTimerRecovery = 7,
};
// "(unknown)" for a value outside 0..7.
const char* statetext(unsigned state);

// TEI management message types (Q.921 Table 8).
enum TeiMessage : unsigned char {
    kIdentityRequest = 1,
    kIdentityAssigned = 2,
    kIdentityDenied = 3,
    kCheckRequest = 4,
    kCheckResponse = 5,
    kIdentityRemove = 6,
    kIdentityVerify = 7,
};

using Sequence = Cyclic<unsigned int, 127u>;

struct LAPDFullState {
    unsigned state = kTeiAssigned;
    int ownTEI = 0;
    int ownSAPI = 0;
    int peerTEI = 0;
    int peerSAPI = 0;
    int RC = 0;
    bool peerBusy = false;
    bool ownBusy = false;
    bool RejectException = false;
    bool L3Initiated = false;
    bool Establishable = true;
    bool QueuedUp = false;
    bool RetrRQ = false;
    bool AckRQ = false;
    bool T200running = false;
    bool T202running = false;
    bool T203running = false;
    Sequence VS;
    Sequence VA;
    Sequence VR;

    // Six lines, each after a line break and "   - ".
    void out(std::ostream& os) const;
};

} // namespace ISDN
