// LGCP messages for the control server tests: commands in, answers read
// back as text, scripted services and a link over a socket pair.
#pragma once

#include <functional>

#include "server/control/ctrl_server.h"
#include "tests/server/control/channel_support.h"
#include "tests/support/lgcp_frames.h"

namespace vbtest {

// The frames that have arrived at s, as "seq=7 slot=3 success",
// "seq=7 error unexpectedMsgType" or "slot=3 signal" (with detail:
// "slot=3 receiver active : 40").
inline std::vector<std::string> answers(const Fd& s, bool detail = false)
{
    std::string bytes = drain(s);
    std::vector<std::string> out;
    for (size_t at = 0, len; at + 4 <= bytes.size(); at += len) {
        len = std::max<size_t>(4, uint8_t(bytes[at + 2]) << 8 | uint8_t(bytes[at + 3]));
        out.push_back(message_text(&bytes[at + 4], len - 4, detail));
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
