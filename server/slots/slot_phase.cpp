#include "server/slots/slot_phase.h"

namespace {

using P = SlotPhase;

// In the order of SlotPhase.
const SlotPhaseRule kRules[] = {
    //  phase              name             lost   releasing released serves draining
    {P::live,           "live",           false, false,    false,   true,  false},
    {P::lost,           "lost",           true,  false,    false,   false, false},
    {P::draining,       "draining",       false, true,     false,   false, true},
    {P::drainingLost,   "draining-lost",  true,  true,     false,   false, true},
    {P::releasing,      "releasing",      false, true,     false,   true,  false},
    {P::releasingLost,  "releasing-lost", true,  true,     false,   false, false},
    {P::released,       "released",       false, true,     true,    false, false},
    {P::releasedLost,   "released-lost",  true,  true,     true,    false, false},
};

struct Transition {
    SlotPhase from;
    SlotEvent event;
    SlotPhase to;
};

const Transition kTransitions[] = {
    {P::live, SlotEvent::lose, P::lost},
    {P::live, SlotEvent::drain, P::draining},
    {P::live, SlotEvent::release, P::releasing},
    {P::lost, SlotEvent::drain, P::drainingLost},
    {P::lost, SlotEvent::release, P::releasingLost},
    {P::draining, SlotEvent::lose, P::drainingLost},
    {P::draining, SlotEvent::release, P::releasing},
    {P::drainingLost, SlotEvent::release, P::releasingLost},
    {P::releasing, SlotEvent::lose, P::releasingLost},
    {P::releasing, SlotEvent::end, P::released},
    {P::releasingLost, SlotEvent::end, P::releasedLost},
    {P::released, SlotEvent::lose, P::releasedLost},
};

} // namespace

const SlotPhaseRule& RuleOf(SlotPhase phase)
{
    return kRules[static_cast<unsigned>(phase)];
}

SlotPhase NextPhase(SlotPhase phase, SlotEvent event)
{
    for (const Transition& t : kTransitions)
        if (t.from == phase && t.event == event)
            return t.to;
    return phase;
}
