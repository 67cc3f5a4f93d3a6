// Modem slots: a dial-in or dial-out data call whose data connection goes
// to a PPP daemon (or, for fax, a fax program) run as a child process.
// DspModemSlot takes an analogue modem of the DSP modem driver at its first
// stream; HdlcModemSlot runs a digital call on a generic-HDLC network
// interface. Destroying a slot whose child runs hangs the child up and
// waits for its end (5000 ms at most, then kills it).
#pragma once

#include <sys/types.h>

#include <iosfwd>
#include <string>

#include "runtime/child_wait.h"
#include "runtime/fd.h"
#include "runtime/timer.h"
#include "server/slots/slot.h"

class attr;
class ModemFactory;
namespace ModemChild {
struct Setup;
}

class ModemSlot : public Slot {
public:
    static constexpr unsigned kTerminateTimeoutMs = 5000;

    ModemSlot(TERM::ModemParams const& params, Hold hold);
    ~ModemSlot() override;

    bool IBeforeDestroy() override;
    bool IActivate(TERM::TermActivateParams const& params) override;
    const char* GetName() const override { return "generic-modem"; }

    // The session of the authentication records, -1 for none.
    virtual int modem_id() const = 0;
    // Leaves the factory's lists; once only.
    virtual void unbind() = 0;
    // Whether a record of that session is this slot's.
    virtual bool EqAuthId(int session) const { return modem_id() == session; }
    // A record of this slot's session from the helper. refused: whether
    // the connection is in a run of refused records, whose first was
    // logged; a record taken ends the run, so afterwards it says whether
    // this one was refused.
    void OnAuth(const attr& record, bool& refused);

    pid_t child() const { return mPid; }
    void PutHeader(std::ostream& out) const;

protected:
    ModemFactory* factory() const;
    // Starts the PPP daemon unless a child runs.
    void pppd_exec(const std::string& device, const char* options);
    void on_terminate(int status);
    // The end of a slot being destroyed once its child is gone.
    void finish_release();
    void on_terminate_timeout();
    void pppd_kill();
    // The child is gone and the slot leaves its factory: for the destructors.
    void stop_child();
    // The channel went while a child runs on it: hung up as at a destroy,
    // killed if it outlives the time-out; its end is no news any more.
    void hang_up_child();
    // The child is gone: no time-out waits for it any more.
    void child_ended();

    TERM::ModemParams mParams;
    pid_t mPid = -1;
    ChildWait mChild;
    Timer mTimer;
    bool mBound = true;
};

class DspModemSlot : public ModemSlot {
public:
    explicit DspModemSlot(TERM::ModemParams const& params) : ModemSlot(params, Hold::descriptor) {}
    ~DspModemSlot() override;

    bool IOnOutputStream() override { return InitModem(); }
    bool IOnInputStream() override { return InitModem(); }
    int IGetTransmitChannel() override { return mTimeslot; }
    int IGetReceiveChannel() override { return mTimeslot; }
    const char* GetName() const override { return "dsp-modem"; }
    int modem_id() const override { return mModem; }
    void unbind() override;
    // An unstarted modem has no session yet.
    bool EqAuthId(int session) const override { return mModem >= 0 && mModem == session; }

private:
    // Takes and sets up the modem at the first stream; false while the
    // slot holds no time slot.
    bool InitModem();
    bool SetUpModem(int fd);
    void StartCall(int fd);
    bool spawn_child(const ModemChild::Setup& setup, void (DspModemSlot::*onEnd)(int));
    void StartFaxTransfer();
    void RunFaxReceiver();
    void on_fax_terminate(int status);
    void on_receiver_terminate(int status);
    void forget_receiver_file();
    void Fail(const char* what);
    // The driver took the modem back: its number and time slot are
    // forgotten, so no helper record and no command reaches this slot.
    void IOnChannelLost(const Device::End& end) override;

    Fd mControl;
    int mTimeslot = -1;
    int mModem = -1;
    // The file of the running fax receiver, "" when none runs.
    std::string mReceiverFile;
};

class HdlcModemSlot : public ModemSlot {
public:
    // The interface is the slot's by name from creation to unbind: no
    // driver hands its channel to anyone else meanwhile.
    HdlcModemSlot(TERM::ModemParams const& params, const std::string& name)
        : ModemSlot(params, Hold::fixed), mName(name)
    {
    }
    ~HdlcModemSlot() override;

    bool IOnOutputStream() override { return initModem(); }
    bool IOnInputStream() override { return initModem(); }
    int IGetTransmitChannel() override { return mChannel; }
    int IGetReceiveChannel() override { return mChannel; }
    const char* GetName() const override { return "digital-modem"; }
    int modem_id() const override { return -1; }
    void unbind() override;
    const std::string& name() const { return mName; }

private:
    // Switches the interface to PPP and starts the daemon; false while the
    // slot knows no channel.
    bool initModem();
    // The interface back to raw HDLC, down.
    void Release();

    int mChannel = -1;
    std::string mName;
};
