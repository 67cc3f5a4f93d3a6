// A slot table behind a real control server with a recording controller,
// on the simulated board, and a scripted slot kind whose slots journal
// their hooks. Shared by the slot tests and the benchmark.
#pragma once

#include <functional>
#include <memory>
#include <sstream>

#include "runtime/mux_time.h"
#include "server/hw_mux.h"
#include "server/slot_factory.h"
#include "server/slots.h"
#include "tests/server/lgcp_support.h"
#include "tests/simboard/sim_board.h"
#include "tests/support/test_support.h"

namespace vbtest {

typedef std::vector<std::string> Texts;

// "seq=7 slot=3 success", "slot=3 error slotNotExists", "slot=3 receiver active : 40".
inline std::string describe(const LGCP::Message& m)
{
    std::ostringstream o;
    m.has_seq() ? void(o << "seq=" << m.get_seq().getValue() << " ") : void();
    m.has_slot() ? void(o << "slot=" << m.get_slot().getValue() << " ") : void();
    const LGCP::PDU& p = m.get_pdu();
    if (p.is_response() && p.get_response().is_success()) {
        o << "success";
    } else if (p.is_response()) {
        o << "error " << p.get_response().get_error();
    } else if (p.is_signal()) {
        const LGCP::Signal& s = p.get_signal();
        std::ostringstream value;
        value << *s.getSelection();
        std::string text;
        for (char c : value.str())
            if (c != '\n' && !(c == ' ' && !text.empty() && text.back() == ' '))
                text += c;
        o << s.getSelectionName() << " " << text;
    }
    return o.str();
}

// Every message that has reached the controller's end, described.
inline Texts received(const Fd& s)
{
    std::string bytes = drain(s);
    Texts out;
    for (size_t at = 0, len; at + 4 <= bytes.size(); at += len) {
        len = std::max<size_t>(4, uint8_t(bytes[at + 2]) << 8 | uint8_t(bytes[at + 3]));
        LGCP::Message m;
        bool ok = ASN1::CoderEnv().decode(&bytes[at + 4], &bytes[at] + len, m, true);
        out.push_back(ok ? describe(m) : "undecodable");
    }
    return out;
}

// How a scripted slot behaves.
struct Kind {
    // When IBeforeDestroy ends the release: at once, by a later on_release,
    // or by on_release from inside IBeforeDestroy.
    enum Release { now, later, inside } release = now;
    bool output = true; // IOnOutputStream
    bool input = true;  // IOnInputStream
    int priority = 0;
    bool done = true; // the command hooks' answer
    // Announce both streams in IAfterCreate.
    bool announce = false;
};

class TestSlot : public Slot {
public:
    TestSlot(Texts& journal, Kind kind, int tx, int rx) : kind(kind), tx(tx), rx(rx), mJournal(journal) {}
    ~TestSlot() override { note("deleted"); }

    const char* GetName() const override { return "test"; }
    int IGetTransmitChannel() override { return tx; }
    int IGetReceiveChannel() override { return rx; }
    int GetConnectionPriority() override { return kind.priority; }
    void IAfterCreate() override
    {
        note("IAfterCreate");
        if (kind.announce)
            OnChangeOutputStream(true), OnChangeInputStream(true);
    }
    bool IBeforeDestroy() override
    {
        note("IBeforeDestroy");
        if (kind.release == Kind::inside)
            on_release();
        return kind.release == Kind::now;
    }
    bool IHwConnectTransmitter(Slot& r) override { return note("IHwConnectTransmitter"), Slot::IHwConnectTransmitter(r); }
    bool IHwConnectReceiver(Slot& s) override { return note("IHwConnectReceiver"), Slot::IHwConnectReceiver(s); }
    bool IHwDisconnectTransmitter(Slot& r) override
    {
        return note("IHwDisconnectTransmitter"), Slot::IHwDisconnectTransmitter(r);
    }
    bool IHwDisconnectReceiver(Slot& s) override { return note("IHwDisconnectReceiver"), Slot::IHwDisconnectReceiver(s); }
    bool IOnOutputStream() override { return note("IOnOutputStream"), kind.output; }
    bool IOnInputStream() override { return note("IOnInputStream"), kind.input; }
    void IOnOutputRelease() override { note("IOnOutputRelease"); }
    void IOnInputRelease() override { note("IOnInputRelease"); }
    bool IActivate(TERM::TermActivateParams const&) override { return kind.done; }
    bool IDeactivate() override { return kind.done; }
    bool IUserData(std::vector<char> const&) override { return kind.done; }
    bool Ioctl(LGCP::IoctlParams const&) override { return kind.done; }

    // Called after each journalled hook, to script side effects.
    std::function<void(TestSlot&, const std::string&)> on_hook;

    Kind kind;
    int tx, rx;

private:
    void note(const std::string& hook)
    {
        std::ostringstream o;
        o << *this << " " << hook;
        mJournal.push_back(o.str());
        if (on_hook)
            on_hook(*this, hook);
    }

    Texts& mJournal;
};

// Makes a TestSlot from create parameters `ext`, transmitting and receiving
// on the channels they give; refuses other kinds.
class TestFactory : public SlotFactory {
public:
    TestFactory(const char* name, Texts& journal) : name(name), journal(journal) {}
    const char* GetName() const override { return name; }
    Slot* INewSlot(LGCP::CreateParams const& params) override
    {
        if (!params.is_ext() || refuse)
            return nullptr;
        const LGCP::ExtParams& ext = params.get_ext();
        auto* slot = new TestSlot(journal, kind, ext.get_transmitter().getValue(), ext.get_receiver().getValue());
        slot->on_hook = on_hook;
        return slot;
    }
    void Query(LGCP::Resources& r) override
    {
        journal.push_back(std::string(name) + " query");
        r.set_modem(r.get_modem().getValue() + 1);
    }
    void SelfSignal(LGCP::Signal const&) override { journal.push_back(std::string(name) + " trunk"); }

    const char* name;
    Texts& journal;
    Kind kind; // of the slots it makes
    bool refuse = false;
    std::function<void(TestSlot&, const std::string&)> on_hook;
};

inline LGCP::Command create_ext(int tx, int rx)
{
    LGCP::Command c;
    LGCP::ExtParams& ext = c.get_create().get_ext();
    ext.set_transmitter(tx);
    ext.set_receiver(rx);
    return c;
}

inline LGCP::Command simple(LGCP::Command::Choices which, unsigned target = 0)
{
    LGCP::Command c;
    if (which == LGCP::Command::e_connect)
        c.set_connect(target);
    else if (which == LGCP::Command::e_activate)
        c.get_activate().set_empty();
    else if (which == LGCP::Command::e_ioctl)
        c.get_ioctl().set_deactivateRecord();
    else
        c.select(which);
    return c;
}

// The slot table of a fresh process: a board, a switch, a control server
// with its controller, and virtual time (the pause after a lost controller).
struct SlotWorld {
    CaptureStream err{std::cerr}, log{std::clog};
    SimulatedBoard sim;
    HwMux::Scoped mux;
    Mux::VirtualClock clock;
    Mux::ScopedClock installed{clock};
    Slots::Scoped table;
    CtrlSrv::Server server;
    PairLink* link = new PairLink;

    SlotWorld()
    {
        server.Bind(&table.slots());
        server.Activate(link);
        link->up();
    }
    Slots& slots() { return table.slots(); }

    // Feeds one command; what the controller has received since.
    Texts command(const LGCP::Command& cmd, int slot, int seq = -1)
    {
        LGCP::PDU pdu;
        pdu.set_command(cmd);
        std::string frame = lgcp(pdu, seq, slot);
        server.OnMessage(frame.data(), int(frame.size()));
        return received(link->pair.b);
    }
    Texts controller() { return received(link->pair.b); }
    TestSlot* slot(unsigned n) { return static_cast<TestSlot*>(slots().at(n)); }
};

} // namespace vbtest
