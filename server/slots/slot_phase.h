// Where a slot is in its life, and what that decides. A slot is live until
// its board channel goes back to the driver (lost) or the table starts its
// end: a kind that wrote on a channel first lets that leave on the line
// (draining; its destroy is answered already, so it takes no more work),
// then its release runs (releasing); the release ends (released) at once
// or later, and only then does the table delete the slot. A lost slot
// stays lost through its end, which is why the phases after the loss have
// lost twins.
//
//   live ───lose───> lost
//    │ └drain┐        │ └drain┐
//    │       v        │       v
//    │    draining ──lose──> drainingLost
//    │       │        │       │
//  release release release release
//    v       v        v       v
//   releasing ──lose──> releasingLost
//    │                   │
//   end                 end
//    v                   v
//   released ──lose──> releasedLost
//
// Every change goes through Slot::Step, which writes "old -> new" to the
// trace log; an event that does not apply to a phase leaves it as it is.
#pragma once

#include <cstdint>

enum class SlotPhase : uint8_t { live, lost, draining, drainingLost, releasing, releasingLost, released, releasedLost };

enum class SlotEvent : uint8_t {
    // The slot's board channel went back to its driver.
    lose,
    // The table starts the slot's orderly end: what the kind wrote on its
    // channel leaves first.
    drain,
    // The table starts the slot's release (a destroy, a create in its
    // place, the controller gone).
    release,
    // The kind's release ended.
    end,
};

// What a phase means to the slot table and to the kinds.
struct SlotPhaseRule {
    SlotPhase phase;
    const char* name;
    // The channel went: the slot names it no more.
    bool lost;
    // The release started (and may have ended): a destroy, or a create in
    // its place, answers destroyInProgress; else either starts it.
    bool releasing;
    // The release ended: the table deletes the slot.
    bool released;
    // Connections and the kind's commands (activate, deactivate, userData,
    // ioctl) are carried out; else they answer internal, or
    // destroyInProgress while draining.
    bool serves;
    // The destroy was answered and the channel drains: every command on
    // the number, and every connection naming it, answers
    // destroyInProgress, so nothing sent after that answer reaches the
    // line or the switch.
    bool draining;
};

// The rule of a phase, from the one table of them.
const SlotPhaseRule& RuleOf(SlotPhase phase);
// The phase that event leads to from phase (phase itself when none).
SlotPhase NextPhase(SlotPhase phase, SlotEvent event);
