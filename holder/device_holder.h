// The life of one board device as its holders see it: one descriptor
// opened at need and let go when the device is gone, the runs of failures
// kept short, and a once-a-second retry while something that should be on
// the device (or off it) is not yet carried by the present descriptor.
//
// The holders (the switch, the tone and DSP services, the mixer, the LEDs,
// the line chips) keep their desired state themselves and plug it in as a
// Holder::State: untold() says whether the device is not yet as asked,
// reconcile() sends the difference. Every trigger calls that one step: a
// request on the device, an open, the retry. A refused request is simply
// still a difference at the next trigger.
//
// The device is back only once a request on a fresh descriptor worked: a
// device that opens and fails its first requests with ENODEV is not back,
// and is opened again only by the retry, not by every request. Being back
// costs one line: "<header>device back[ after N failed open(s)][, what the
// reconcile made again]".
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "board/device.h"
#include "board/failure_runs.h"
#include "board/held.h"
#include "runtime/fd.h"
#include "runtime/multiplexer.h"
#include "runtime/timer.h"

namespace Device {

// What one reconcile step made again, for the lines of the holder:
// "M connection(s) made again, I idle output(s) again".
class Tally {
public:
    // Adds n to the count named what; an `always` count is written also
    // when it is 0 (once named, the order of the names is the line's).
    void count(const char* what, unsigned long n = 1, bool always = false);
    bool any() const;
    // ", n what" for each count to write; the first without its comma
    // unless comma.
    void put(std::ostream& out, bool comma) const;
    unsigned long total() const;

private:
    struct Count {
        const char* what;
        unsigned long n;
        bool always;
    };
    std::vector<Count> mCounts;
};

class Holder {
public:
    // A holder's desired state on the device.
    class State {
    public:
        virtual ~State() = default;
        // Something asked (or owed off) that the descriptor named present
        // does not carry; present is 0 without a descriptor.
        virtual bool untold(uint64_t present) = 0;
        // Tells the present descriptor the difference, counting what it
        // made in made. A request may lose the descriptor (fd() < 0): the
        // rest waits for the next open.
        virtual void reconcile(Tally& made) = 0;
    };

    // How the holder opens its device and words its lines. The path, the
    // open's flags and the failed open's line are always given; the rest
    // are named where a holder wants them otherwise.
    struct Setup {
        Setup(const char* path, int flags, const char* openFailure)
            : path(path), flags(flags), openFailure(openFailure)
        {
        }
        // Null: the holder never opens a descriptor itself. It tells its
        // states on one that its owner was handed (adopt); a transient one
        // has none at all, and only asks its states again (an agent link's
        // owed connection).
        const char* path;
        int flags; // of the open; close-on-exec is added
        // The line of an open that fails, before strerror: one a run.
        const char* openFailure;
        // "device lost: <why>" when a proven descriptor is gone.
        bool lostLine = false;
        // The device is opened for each request and closed after it (it
        // keeps what it was told whoever holds it open).
        bool transient = false;
        // The stream of the holder's lines; the error stream unless given.
        std::ostream* log = nullptr;
        // The name of the run of failed opens, whose end is the line
        // "<header><openRun> fail: N more time(s)"; without one, the
        // return line alone counts them.
        const char* openRun = nullptr;
        // The open's error (strerror) ends the line of openFailure.
        bool openError = true;
        // The device is back only once its states carry everything asked:
        // the return line (and the end of the runs) waits for the step
        // that tells the last of it.
        bool backWhenTold = false;
        // Milliseconds until the retry, asked each time it is armed;
        // kRetryMs unless given.
        std::function<unsigned()> retryMs;
    };

    static constexpr unsigned kRetryMs = 1000;

    Holder(std::function<void(std::ostream&)> header, const Setup& setup);
    ~Holder();
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    void attach(State& state);
    void detach(State& state);

    // The owner's own first requests on a fresh descriptor, before the
    // states are told (the switch turns its shared bus off). The
    // descriptor may be lost under them. False when the device refused
    // some of them: it is then not said to be back (the owner says what it
    // lacks).
    void on_fresh(std::function<bool()> fresh) { mFresh = std::move(fresh); }
    // Watches the descriptor for input: handler(fd, revents) reads what
    // waits and says whether the descriptor is over (it is then let go
    // with why in the line "<header>fail to read from <name>: <why>").
    void watch(const std::string& event, const std::string& name, std::function<End(int, short)> handler);

    // A holder without a path takes a copy of the descriptor its owner
    // was handed; its states are told on it from now on.
    void adopt(const Fd& fd);

    // The descriptor for a request: opened when missing (unless only the
    // retry opens it again) and told what it owes first; -1 when there is
    // none. A transient holder only tells what is owed, and answers 0.
    int device();
    // The present descriptor, -1 without one.
    int fd() const { return mFd.get(); }
    // Names the present descriptor for the settings it was told; a
    // transient device keeps what it was told whoever opens it: one name.
    uint64_t present() const { return mSetup.transient ? 1 : mNames.present(static_cast<bool>(mFd)); }

    // A request on the present descriptor (a transient holder opens one
    // for it): its result, or -1 with errno (EBADF without a descriptor,
    // the open's error when a transient open fails). One that finds the
    // device gone (ENODEV) lets the descriptor go.
    int ioctl(unsigned long number, void* arg);
    int ioctl_value(unsigned long number, unsigned long value);
    // What the last request met: no device to ask (none open, or the open
    // for it failed), so nothing was made of it ...
    bool no_device() const { return mNoDevice; }
    // ... or a device that refused it with this errno; 0 when it took it
    // or there was no device.
    int refusal() const { return mRefusal; }

    // A state changed what it wants, or a request was refused: the next
    // trigger asks the states again, and the retry runs meanwhile.
    void changed();
    bool retrying() const { return mRetry.pending(); }
    // Lets the descriptor go (why, when given, is the line's reason).
    void lost(const char* why = nullptr);
    // Closes the descriptor for good (the owner goes).
    void close();

    FailureRuns& runs() { return mRuns; }
    void PutHeader(std::ostream& out) const { mHeader(out); }

private:
    bool open();
    // A failed open: counted, one line a run, and retried while anything is untold.
    void open_failed(int error);
    // One reconcile step over every state; whether anything is untold after it.
    bool reconcile(Tally& made);
    bool untold();
    // call(fd) on the present descriptor (or one opened for it).
    int request(const std::function<int(int)>& call);
    int result(int r);
    int transient_request(const std::function<int(int)>& request);
    void proven();
    void back(const Tally& made);
    void OnEvent(int fd, short revents);
    void OnRetry();
    void retry_later();

    std::function<void(std::ostream&)> mHeader;
    Setup mSetup;
    std::ostream& mLog;
    Fd mFd;
    Event mEvent;
    std::string mWatchName;
    std::function<End(int, short)> mInput;
    std::function<bool()> mFresh;
    std::vector<State*> mStates;
    Descriptors mNames;
    FailureRuns mRuns;
    Timer mRetry;
    // The states may want something the device does not carry.
    bool mDirty = false;
    bool mReconciling = false;
    // An open and its own first requests are under way.
    bool mOpening = false;
    // A request worked during the open.
    bool mWorked = false;
    // The owner's first requests on the present descriptor were refused.
    bool mFreshRefused = false;
    // A descriptor is open on which no request has worked yet.
    bool mUnproven = false;
    // The last descriptor went before a request worked: only the retry opens.
    bool mOnlyRetryOpens = false;
    // The device was lost or failed to open: its return is a line.
    bool mAway = false;
    // Back but for what its states still lack (backWhenTold).
    bool mBackOwed = false;
    // The line of a failed open was written since the device was last back.
    bool mOpenLine = false;
    // Since the device was last back.
    unsigned long mFailedOpens = 0;
    // Of the last request.
    bool mNoDevice = false;
    int mRefusal = 0;
};

} // namespace Device
