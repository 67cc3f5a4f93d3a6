// A slot table behind a real control server and a recording controller, on
// the simulated board, with a factory of scripted slots that journal their
// hooks. Shared by the slot tests and the benchmark.
#pragma once

#include <functional>
#include <sstream>

#include "runtime/mux_time.h"
#include "server/switch/hw_mux.h"
#include "server/slots/slot_factory.h"
#include "server/slots/slots.h"
#include "tests/server/control/lgcp_support.h"
#include "tests/simboard/sim_board.h"
#include "tests/support/test_support.h"

namespace vbtest {

typedef std::vector<std::string> Texts;

struct Kind {
    // IBeforeDestroy ends the release at once, leaves it to a later
    // on_release, or calls on_release itself.
    enum Release { now, later, inside } release = now;
    bool output = true, input = true; // IOnOutputStream, IOnInputStream
    int priority = 0;
    bool done = true;      // the command hooks' answer
    bool announce = false; // both streams in IAfterCreate
    // Like a shared-bus line: activate idles the output, deactivate and
    // destroy disable it.
    bool disable = false;
    Slot::Hold hold = Slot::Hold::fixed;
    // The descriptor a driver handed the slot's transmit channel with.
    const Fd* holds = nullptr;
};

// Journals each hook as "05:test IOnInputRelease", then runs on_hook.
class TestSlot : public Slot {
public:
    TestSlot(Texts& journal, Kind kind, int tx, int rx) : Slot(kind.hold), kind(kind), tx(tx), rx(rx), mJournal(journal)
    {
        kind.holds ? (void)HoldChannel(tx, *kind.holds) : void();
    }
    ~TestSlot() override { note("deleted"); }

    const char* GetName() const override { return "test"; }
    int IGetTransmitChannel() override { return tx; }
    int IGetReceiveChannel() override { return rx; }
    int GetConnectionPriority() override { return kind.priority; }
    void IAfterCreate() override
    {
        note("IAfterCreate");
        kind.announce ? OnChangeOutputStream(true), OnChangeInputStream(true) : void();
    }
    bool IBeforeDestroy() override
    {
        note("IBeforeDestroy");
        kind.disable ? (void)HwMux::instance()->Leave(rx, OwnClaims(*this), true) : void();
        kind.release == Kind::inside ? on_release() : void();
        return kind.release == Kind::now;
    }
    bool IHwConnectTransmitter(Slot& r) override { return note("IHwConnectTransmitter"), Slot::IHwConnectTransmitter(r); }
    bool IHwConnectReceiver(Slot& s) override { return note("IHwConnectReceiver"), Slot::IHwConnectReceiver(s); }
    bool IHwDisconnectTransmitter(Slot& r) override { return note("IHwDisconnectTransmitter"), Slot::IHwDisconnectTransmitter(r); }
    bool IHwDisconnectReceiver(Slot& s) override { return note("IHwDisconnectReceiver"), Slot::IHwDisconnectReceiver(s); }
    bool IOnOutputStream() override { return note("IOnOutputStream"), kind.output; }
    bool IOnInputStream() override { return note("IOnInputStream"), kind.input; }
    void IOnOutputRelease() override { note("IOnOutputRelease"); }
    void IOnInputRelease() override { note("IOnInputRelease"); }
    void IOnChannelLost(const Device::End& end) override { note(std::string("IOnChannelLost ") + end.why); }
    bool IActivate(TERM::TermActivateParams const&) override
    {
        if (kind.disable)
            return GetSource() || HwMux::instance()->Idle(rx, OwnClaims(*this));
        return kind.done;
    }
    bool IDeactivate() override
    {
        if (!kind.disable)
            return kind.done;
        OnChangeInputStream(false);
        HwMux::instance()->Leave(rx, OwnClaims(*this), true);
        return true;
    }
    bool IUserData(std::vector<char> const&) override { return kind.done; }
    bool Ioctl(LGCP::IoctlParams const&) override { return kind.done; }

    std::function<void(TestSlot&, const std::string&)> on_hook;
    Kind kind;
    int tx, rx;

private:
    void note(const std::string& hook)
    {
        std::ostringstream o;
        o << *this << " " << hook;
        mJournal.push_back(o.str());
        on_hook ? on_hook(*this, hook) : void();
    }

    Texts& mJournal;
};

// Makes a TestSlot of `kind` from the create parameters `ext`, on the
// channels they give; journals queries and trunk status.
struct TestFactory : SlotFactory {
    TestFactory(const char* name, Texts& journal) : name(name), journal(journal) {}
    const char* GetName() const override { return name; }
    Slot* INewSlot(LGCP::CreateParams const& p) override
    {
        if (!p.is_ext() || refuse)
            return nullptr;
        return new TestSlot(journal, kind, p.get_ext().get_transmitter().getValue(), p.get_ext().get_receiver().getValue());
    }
    void Query(LGCP::Resources& r) override
    {
        journal.push_back(std::string(name) + " query");
        r.set_modem(r.get_modem().getValue() + 1);
    }
    void SelfSignal(LGCP::Signal const&) override { journal.push_back(std::string(name) + " trunk"); }

    const char* name;
    Texts& journal;
    Kind kind;
    bool refuse = false;
};

inline LGCP::Command create_ext(int tx, int rx)
{
    LGCP::Command c;
    c.get_create().get_ext().set_transmitter(tx);
    c.get_create().get_ext().set_receiver(rx);
    return c;
}

// A command with its simplest content.
inline LGCP::Command simple(LGCP::Command::Choices which, unsigned target = 0)
{
    LGCP::Command c;
    c.select(which);
    which == LGCP::Command::e_connect ? c.set_connect(target) : void();
    which == LGCP::Command::e_activate ? c.get_activate().set_empty() : void();
    which == LGCP::Command::e_ioctl ? c.get_ioctl().set_deactivateRecord() : void();
    return c;
}

// The slot table of a fresh process, in virtual time (the pause after a
// lost controller).
struct SlotWorld {
    Texts journal;
    CaptureStream err{std::cerr}, log{std::clog};
    SimulatedBoard sim;
    HwMux::Scoped mux;
    Mux::VirtualClock clock;
    Mux::ScopedClock installed{clock};
    Slots::Scoped table;
    CtrlSrv::Server server;
    PairLink* link = new PairLink;
    TestFactory factory{"T", journal};

    SlotWorld()
    {
        server.Bind(&table.slots());
        server.Activate(link);
        link->up();
    }
    Slots& slots() { return table.slots(); }
    TestSlot* slot(unsigned n) { return static_cast<TestSlot*>(slots().at(n)); }

    // Feeds one command; what the controller has received since.
    Texts command(const LGCP::Command& cmd, int slot, int seq = -1)
    {
        LGCP::PDU pdu;
        pdu.set_command(cmd);
        std::string frame = lgcp(pdu, seq, slot);
        server.OnMessage(frame.data(), int(frame.size()));
        return controller();
    }
    Texts controller() { return answers(link->pair.b, true); }
    // Slot n transmits on channel n and receives on channel 100 + n.
    Texts create(int n, Kind kind = Kind(), int seq = -1)
    {
        factory.kind = kind;
        return command(create_ext(n, 100 + n), n, seq);
    }
};

} // namespace vbtest
