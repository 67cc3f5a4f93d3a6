// T.38 fax calls, each terminated by a child T.38 engine that gets the
// call's voice channel (a transparent MCC channel) as its standard input
// and the remote peer on its command line. The slot stands for the running
// engine; the factory also asks the engine how many calls the board takes,
// beside the loop: the engine's answer is read as it comes, within a bound.
#pragma once

#include <sys/types.h>

#include <functional>
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
    // How long the engine has to answer the instance count.
    static constexpr unsigned kCountTimeoutMs = 1000;
    // How long the engine of a destroyed slot has to end after SIGTERM
    // before it is killed.
    static constexpr unsigned kEndTimeoutMs = 5000;

    T38SoftFactory();
    ~T38SoftFactory() override;
    // The factory that main made (the latest one alive).
    static T38SoftFactory* instance();

    const char* GetName() const override { return "T.38 soft"; }
    Slot* INewSlot(LGCP::CreateParams const& params) override;
    // The count of the last --num-of-instances.
    void Query(LGCP::Resources& resources) override;
    // Asks the engine for its count, or joins the count that runs.
    bool IPrepareQuery(const std::function<void()>& ready) override;
    void PutHeader(std::ostream& out) const { out << "t38soft: "; }

    // The engine's command line for a call.
    static std::vector<std::string> command(LGCP::T38Soft const& params);
    // What the last --num-of-instances answered, 0 when the engine could
    // not say.
    int QueryNumOfInstances() const { return mInstances; }
    // The count's number in the engine's line: a decimal number from 0 to
    // what the report's field takes, else -1.
    static int ParseCount(const std::string& line);
    // Engines asked for their count that have not been reaped yet.
    size_t counting() const { return mCounts.size(); }

    // Takes over the engine of a destroyed slot, which was sent SIGTERM:
    // killed when it has not ended within kEndTimeoutMs, reaped either way.
    // Its end reaches nobody.
    void Outlive(pid_t pid);
    // Engines of destroyed slots that have not ended yet.
    size_t ending() const { return mEnding.size(); }

private:
    struct Ending;
    void Ended(Ending* e);
    struct Count;
    // The running count has its number (-1 when the engine could not say).
    void Counted(int count);
    void Forget(Count* c);

    std::list<std::unique_ptr<Ending>> mEnding;
    // The running count last, when one runs; before it, engines already
    // counted that are still to be reaped.
    std::list<std::unique_ptr<Count>> mCounts;
    bool mCounting = false;
    // Waiting for the running count.
    std::vector<std::function<void()>> mReady;
    int mInstances = 0;
};
