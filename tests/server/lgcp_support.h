// LGCP messages for the control server tests: commands in, answers read
// back as text, scripted services and a link over a socket pair.
#pragma once

#include <functional>
#include <sstream>

#include "server/ctrl_server.h"
#include "tests/server/channel_support.h"

namespace vbtest {

// seq and slot are left out when negative.
inline std::string lgcp(const LGCP::PDU& pdu, int seq = -1, int slot = -1)
{
    LGCP::Message m;
    seq >= 0 ? m.set_seq(seq) : void();
    slot >= 0 ? m.set_slot(unsigned(slot)) : void();
    m.set_pdu(pdu);
    std::vector<char> out;
    ASN1::CoderEnv().encodeOctets(m, out);
    return std::string(out.begin(), out.end());
}

inline LGCP::PDU command(bool ping)
{
    LGCP::PDU pdu;
    ping ? pdu.get_command().set_ping() : pdu.get_command().set_query();
    return pdu;
}

// The frames that have arrived at s, as "seq=7 slot=3 success",
// "seq=7 error unexpectedMsgType" or "slot=3 signal".
inline std::vector<std::string> answers(const Fd& s)
{
    std::string bytes = drain(s);
    std::vector<std::string> out;
    for (size_t at = 0, len; at + 4 <= bytes.size(); at += len) {
        len = std::max<size_t>(4, uint8_t(bytes[at + 2]) << 8 | uint8_t(bytes[at + 3]));
        LGCP::Message m;
        std::ostringstream o;
        if (!ASN1::CoderEnv().decode(&bytes[at + 4], &bytes[at] + len, m, true))
            o << "undecodable";
        m.has_seq() ? void(o << "seq=" << m.get_seq().getValue() << " ") : void();
        m.has_slot() ? void(o << "slot=" << m.get_slot().getValue() << " ") : void();
        const LGCP::PDU& p = m.get_pdu();
        if (p.is_response() && p.get_response().is_success())
            o << "success";
        else if (p.is_response())
            o << "error " << p.get_response().get_error();
        else
            o << (p.is_signal() ? "signal" : "command");
        out.push_back(o.str());
    }
    return out;
}

// Writes what it is offered into a shared journal and answers as its
// script says.
struct ScriptedService : CtrlSrv::Service {
    ScriptedService(const std::string& name, std::vector<std::string>& journal) : name(name), journal(journal) {}
    void OnConnect() override { journal.push_back(name + " connect"); }
    void OnDisconnect() override { journal.push_back(name + " disconnect"); }
    bool OnCommand(const LGCP::Command&) override { return journal.push_back(name), script && script(*this); }
    void OnSignal(const LGCP::Signal&) override
    {
        journal.push_back(name + " signal");
        if (on_signal)
            on_signal();
    }

    std::string name;
    std::vector<std::string>& journal;
    std::function<bool(ScriptedService&)> script;
    std::function<void()> on_signal;
};

// The server's end of a controller link over a socket pair; the test plays
// the controller at pair.b.
struct PairLink : Control::Service {
    SocketPair pair = unix_pair();
    void up() { SetConnected(pair.a, "127.0.0.1:4000"); }
    bool ImplActivate() override { return true; }
    void ImplDeactivate() override {}
    void ImplOnDisconnect() override {}
};

} // namespace vbtest
