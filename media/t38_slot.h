// T.38 fax calls, each terminated by a child T.38 engine that gets the
// call's voice channel (a transparent MCC channel) as its standard input
// and the remote peer on its command line. The slot stands for the running
// engine; the factory also asks the engine how many calls the board takes.
#pragma once

#include <sys/types.h>

#include <iosfwd>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "runtime/child_wait.h"
#include "runtime/timer.h"
#include "server/slots/slot.h"
#include "server/slots/slot_factory.h"

class T38SoftSlot : public Slot {
public:
    // channel: the engine's channel, of which the slot keeps a copy.
    T38SoftSlot(pid_t pid, const Fd& channel, int timeslot);
    ~T38SoftSlot() override;

    void IAfterCreate() override;
    bool IBeforeDestroy() override;
    bool IOnOutputStream() override { return true; }
    bool IOnInputStream() override { return true; }
    int IGetTransmitChannel() override { return mTimeslot; }
    int IGetReceiveChannel() override { return mTimeslot; }
    const char* GetName() const override { return "t38 soft"; }

    pid_t pid() const { return mPid; }
    void PutHeader(std::ostream& out) const;

private:
    void OnT38Terminate(int status);
    void IOnChannelLost(const Device::End& end) override;
    // SIGTERM to a running engine, which the factory then sees to its end.
    void StopEngine();

    pid_t mPid;
    int mTimeslot;
    ChildWait mChild;
};

class T38SoftFactory : public SlotFactory {
public:
    static constexpr char kEngine[] = "/usr/local/sbin/t38";
    // The engine's line has at most this many elements.
    static constexpr size_t kMaxLine = 31;
    // How long the instance count may hold the loop.
    static constexpr int kCountTimeoutMs = 1000;
    // How long the engine of a destroyed slot has to end after SIGTERM
    // before it is killed.
    static constexpr unsigned kEndTimeoutMs = 5000;

    T38SoftFactory();
    ~T38SoftFactory() override;
    // The factory that main made (the latest one alive).
    static T38SoftFactory* instance();

    const char* GetName() const override { return "T.38 soft"; }
    Slot* INewSlot(LGCP::CreateParams const& params) override;
    void Query(LGCP::Resources& resources) override;
    void PutHeader(std::ostream& out) const { out << "t38soft: "; }

    // The engine's command line for a call.
    static std::vector<std::string> command(LGCP::T38Soft const& params);
    // What the engine answers to --num-of-instances, 0 when it cannot say.
    int QueryNumOfInstances() const;

    // Takes over the engine of a destroyed slot, which was sent SIGTERM:
    // killed when it has not ended within kEndTimeoutMs, reaped either way.
    // Its end reaches nobody.
    void Outlive(pid_t pid);
    // Engines of destroyed slots that have not ended yet.
    size_t ending() const { return mEnding.size(); }

private:
    struct Ending;
    void Ended(Ending* e);

    std::list<std::unique_ptr<Ending>> mEnding;
};
