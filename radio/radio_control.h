// The radio control of one RTP channel: radio signalling carried in the
// RTP header extension (RFC 3550 5.3.1) through the kernel's extension
// driver "/dev/rtp_ext". The framework owns the extension session and its
// loop registration, the periodic status timer, the source filter that
// admits only the voice of the sender holding the radio (the signalling of
// every sender still comes up, for the access rules to judge), the driver
// counters and the log prefix; the protocol classes (LEMZ, ED-137) derive
// from it.
//
// The filter is a wish of the radio's device holder: the owner wanted (or
// none), made by one step on whichever extension session exists (while
// the radio's own is lost, a holding session of its own, attached and
// never read). A loss (the holding session's too), a restart and the
// device's return run that step at once; what the board refused is asked
// again by the holder's once-a-second retry.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "board/held.h"
#include "board/rtp_ext_requests.h"
#include "board/rtp_requests.h"
#include "board/watched_device.h"
#include "holder/device_holder.h"
#include "runtime/fd.h"
#include "runtime/inet4_addr.h"
#include "runtime/multiplexer.h"
#include "runtime/timer.h"
#include "server/schema/TERM.h"

namespace RTPSignalling {

// What the slot asks of its control.
class IRadioController {
public:
    virtual ~IRadioController() = default;
    virtual bool SendASNToChan(TERM::RadioStatus const&) { return false; }
    virtual bool SendASNToChan(TERM::RadioModifier const&) { return false; }
    // The receive squelch is open.
    virtual bool GetSQU() { return false; }
};

// What the loop and the timer drive.
class IRadioIntController {
public:
    virtual ~IRadioIntController() = default;
    virtual void OnRtpExtEvent(int, short) {}
    // The delay in ms until the next status tick.
    virtual unsigned long ProcessRadioStatus(unsigned long, unsigned long interval) { return interval; }
};

// What the control reports to its slot.
class IRadioControlNotify {
public:
    virtual ~IRadioControlNotify() = default;
    virtual void RadioControlNotify(TERM::RtpRadioRequest const&) {}
    // The radio link is lost.
    virtual void RadioControlNotify(int) {}
};

const char* GetRtpExtDevName();

class RadioControl : public IRadioController, private IRadioIntController, private Device::Holder::State {
public:
    // How the control reaches the RTP stream.
    enum RadioControlType {
        attach_ext = 0, // own extension session attached to an RTP session
        attach_rtp = 1, // the slot's RTP descriptor joins another process's session
        ext_only = 2,   // own extension session, attached to nothing
    };
    enum Role { gateway = 0, workstation = 1 };

    // The driver's counters, reported nowhere.
    struct Counters {
        uint32_t sources = 0;  // source requests that named a sender
        uint32_t unpacked = 0; // payloads that decoded
        uint32_t written = 0;  // payloads written
        uint32_t bytes_read = 0;
        uint32_t bytes_written = 0;
        int32_t pack_error = 0;
        int32_t unpack_error = 0;
        int32_t source_errno = 0, read_errno = 0, write_errno = 0;
    };

    RadioControl(int channel, rtp_ext_attach_session_params const& attach, rtp_ext_init_params const& init);
    explicit RadioControl(rtp_ext_init_params const& init);
    RadioControl(int channel, Fd rtp, rtp_attach_session_params const& attach);
    ~RadioControl() override;
    RadioControl(const RadioControl&) = delete;
    RadioControl& operator=(const RadioControl&) = delete;

    // Opens (type 2 only when open is set) and attaches the session; false,
    // with its line, when a step fails. A session started is no longer lost.
    bool RtpExtStart(bool open);
    // Leaves the RTP session: type 0 detaches and closes the extension
    // session (and any holding session: nothing is held until a start),
    // type 1 lets go of its copy of the RTP descriptor.
    bool RtpExtStop();
    // Starts again on the slot's restarted RTP session, now on rtp. A
    // start that fails loses the session, as one that ends: false.
    bool Restart(const Fd& rtp);
    // Closes the session and stops the status cycle; the first loss is
    // told to the slot with error.
    void Lose(int error);

    void SetTimerEnable(bool on);
    void SetTimerInterval(unsigned long ms) { mInterval = ms; }
    void SetTimer(unsigned long ms);
    // Admits only owner's voice while ptt holds; everybody's otherwise.
    // Also while the session is lost: no other voice reaches the line. The
    // wish stays until a session carries it; what this change did.
    Device::Outcome UpdateAccess(bool ptt, in_addr const& owner);
    // The last change of the filter is not on the board yet: the command
    // that asked it is answered with an error.
    bool access_refused() const { return mAccessOutcome != Device::Outcome::made; }
    const std::string& GetPrefix();

    void SetNotify(IRadioControlNotify* notify) { mNotify = notify; }
    void SetTrace(bool on) { mTrace = on; }
    void SetRole(Role role) { mRole = role; }

    RadioControlType type() const { return mType; }
    Role role() const { return mRole; }
    int ext_fd() const { return mExt.get(); }
    bool watching() const { return static_cast<bool>(mExtEvent.fd); }
    // The extension session hung up or failed its reads, or a restart
    // could not have it again: closed, with one line and one notice to the
    // slot, until a start succeeds.
    bool session_lost() const { return mLost; }
    bool timer_enabled() const { return mTimerEnabled; }
    // The session the filter lives on filters for somebody.
    bool filter_active() const { return carried() != 0; }
    // The owner wanted, 0 for none.
    uint32_t filter_address() const { return mOwner; }
    // A holding session keeps the owner's filter while the radio's is lost.
    bool holding() const { return static_cast<bool>(mHolding); }
    unsigned long interval() const { return mInterval; }
    const Counters& counters() const { return mCounters; }
    const rtp_ext_init_params& init_params() const { return mInit; }
    const rtp_ext_attach_session_params& ext_attach() const { return mExtAttach; }
    const INet4::Addr& own_address() const { return mOwn; }

protected:
    // Asks for the sender of the next waiting payload, then reads it into
    // buf: its size (0 for an empty one, which the codecs refuse), or -1
    // when this wake-up reads no more (the driver ran dry, the reads of a
    // pass are spent, or the session ended). The source record is zeroed
    // first, so a failed request names nobody. A read that ends the
    // session is acted on when the receive path returns.
    ssize_t ReadPayload(unsigned char* buf, size_t size);
    // One payload to the channel; what write() gave.
    ssize_t WritePayload(const unsigned char* buf, size_t size);
    // A payload a codec packed into buf: what the codec gave when it
    // failed (counted as a pack error), else what write() gave.
    int WritePacked(const unsigned char* buf, int packed);
    const rtp_ext_source& source() const { return mSource; }
    IRadioControlNotify* notify() const { return mNotify; }
    bool trace() const { return mTrace; }
    uint32_t last_tick() const { return mLastTick; }
    void set_last_tick(uint32_t ms) { mLastTick = ms; }
    Counters& stats() { return mCounters; }
    // The clock's elapsed time since t, 0 when t is not before now; a
    // signed difference, so it holds across the wrap of the 32-bit clock.
    static uint32_t elapsed(uint32_t now, uint32_t t);

    // Protocol classes override these two.
    using IRadioIntController::OnRtpExtEvent;
    using IRadioIntController::ProcessRadioStatus;

private:
    void Init(RadioControlType type);
    // A new session, initialised and (when attach) attached, into session;
    // false, with its line, when a step fails (one line a run for a
    // holding session, which the retry asks for every second).
    bool OpenSession(bool attach, Fd& session, bool holding = false);
    bool StartExt(bool attach);
    void OnExtEvent(int fd, short revents);
    void Lost(const Device::End& end);
    void OnProcessStatus(Timer*);
    // The line of a failed start step; its errno is kept for the loss.
    bool Fail(const char* text, bool holding = false);

    // Holder::State: the owner's filter not on the session it lives on, or
    // a holding session missing or no longer needed.
    bool untold(uint64_t present) override;
    // The one step: the holding session the wish needs, then the filter on
    // whichever session exists.
    void reconcile(Device::Tally& made) override;
    // The sessions changed: renamed, and the step runs now.
    void SessionsChanged();
    // The session the filter lives on: the radio's own, else the holding
    // one; -1 for none, and its name (0 for none).
    int filter_fd() const { return mExt ? mExt.get() : mHolding.get(); }
    uint64_t filter_session() const { return mSessions.present(filter_fd() >= 0); }
    // What the session the filter lives on filters for (0: nobody).
    uint32_t carried() const;
    // A holding session is wanted for the owner want.
    bool HoldingWanted(uint32_t want) const;
    // Opens or closes the holding session as the owner want needs.
    void Hold(uint32_t want);
    void CloseHolding();
    void OnHoldingEvent(int fd, short revents);
    // The board keeps holding sessions again (one lasted, or none is
    // needed): the run of their ends is over.
    void HoldingKept();
    // The owner wanted, on the session the filter lives on unless it
    // carries it already: what the device did (absent: no session).
    Device::Outcome TellWanted();
    // E4 for owner, or E5 for none, on the session the filter lives on:
    // what the device did (a refusal's line is one a run).
    Device::Answer TellFilter(uint32_t owner);

    RadioControlType mType;
    Fd mRtp;
    Fd mExt;
    // While the session is lost, the one that holds the PTT owner's filter.
    Fd mHolding;
    // Runs out when it has lasted a retry's time; whether one was replaced
    // at once since the last that lasted so.
    Timer mHoldingLasts;
    bool mReplacedAtOnce = false;
    Event mHoldingEvent;
    Event mExtEvent;
    Timer mTimer;
    rtp_attach_session_params mRtpAttach{-1, 0};
    rtp_ext_attach_session_params mExtAttach{-1, 0};
    rtp_ext_init_params mInit{};
    rtp_ext_source mSource{};
    Role mRole = gateway;
    Counters mCounters;
    uint32_t mLastTick = 0;
    unsigned long mInterval = 1000;
    unsigned long mChannel = 0;
    bool mTrace = false;
    bool mTimerEnabled = false;
    bool mLost = false;
    // Stopped by the slot (a restart under way, or its RTP session gone):
    // no holding session until a start.
    bool mStopped = false;
    int mStartError = 0;
    // How the receive path's last read ended the session, if it did.
    Device::End mReadEnd;
    // Payloads read since the driver last ran dry, and whether their cap
    // ended a wake-up with more waiting (the descriptor is then not over,
    // whatever the poll said).
    unsigned mReads = 0;
    bool mCapped = false;
    // The owner wanted (network order), 0 for everybody; the session that
    // was last told a filter, and whom it filters for.
    uint32_t mOwner = 0;
    uint64_t mToldSession = 0;
    uint32_t mTold = 0;
    // The wish was refused as invalid on the session named so: not asked
    // again there.
    uint64_t mGivenUp = 0;
    Device::Outcome mAccessOutcome = Device::Outcome::made;
    Device::Descriptors mSessions;
    IRadioControlNotify* mNotify = nullptr;
    std::string mPrefix;
    INet4::Addr mOwn;
    // Last: its retry goes first.
    Device::Holder mAccess{[this](std::ostream& out) { out << GetPrefix(); }, AccessSetup()};

    static Device::Holder::Setup AccessSetup();
};

// The IPv4 address (network order) of the dotted-quad text of a controller
// command. A text that is no address gives 0, "nobody", and false: as
// inet_addr's 255.255.255.255 it would set a filter that admits no sender.
// The controls refuse such a command before it is decoded (AddressesParse).
bool ParseAddress(std::string const& text, uint32_t& address);

} // namespace RTPSignalling
