// The BRI network side under test: its layer in a stack whose owner takes
// every frame it sends (as the slot's channel would) and records what goes
// up; and an S bus in memory that joins it to terminals.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "runtime/mux_time.h"
#include "signalling/lapd_nt.h"
#include "tests/runtime/loop_support.h"
#include "tests/signalling/hdlc_pair.h"

namespace vbtest {

// The owner of a stack with the network side as its one layer.
struct NtOwner : ProtocolsFamily {
    std::vector<std::string> sent;     // frames, hexadecimal
    std::vector<std::string> messages; // layer 3 up, hexadecimal
    std::vector<std::string> reports;  // "activated", "end: text"
    // Where a frame goes besides the record.
    std::function<void(const std::string&)> wire;
    std::function<void(Packet&)> up;

    bool transmit(Packet& p) override
    {
        std::string bytes = content(p);
        sent.push_back(hex(bytes));
        if (wire)
            wire(bytes);
        return true;
    }
    void on_message(Packet& p) override
    {
        if (up)
            up(p);
        else
            messages.push_back(hex(content(p)));
    }
    void on_activated(Protocol*) override { reports.push_back("activated"); }
    void on_deactivated(Protocol*, Protocol_status s) override
    {
        reports.push_back(std::string(s->success() ? "end: " : "end (error): ") + s->message());
    }
};

template <class T>
std::vector<T> take(std::vector<T>& v)
{
    std::vector<T> out;
    out.swap(v);
    return out;
}

// Frames of TEI management (Q.921 Table 8) in hexadecimal: from the user
// side (FC) or the network side (FE).
inline std::string tei_message(bool fromNetwork, unsigned ri, unsigned type, unsigned ai)
{
    return hex(bytes({fromNetwork ? 0xFE : 0xFC, 0xFF, 0x03, 0x0F, int(ri & 0xFF), int(ri >> 8), int(type),
                      int(ai << 1 | 1)}));
}

// The network side in virtual time; the test plays the terminals.
struct NtHarness {
    Mux::VirtualClock clock;
    Mux::ScopedClock scoped{clock};
    NtOwner owner;
    ISDN::LAPD_NT* nt = new ISDN::LAPD_NT;

    NtHarness() { owner.add_protocol_tail(nt); }

    void rx(const std::string& hexFrame)
    {
        Packet p = make_packet(octets(hexFrame));
        nt->receive(p);
    }
    // A layer 3 message from above; true when it was sent or queued.
    bool send(const std::string& hexMessage)
    {
        Packet p;
        nt->prepare_head(p);
        for (char c : octets(hexMessage))
            p.put(static_cast<uint8_t>(c));
        return nt->message(p);
    }
    std::vector<std::string> sent() { return take(owner.sent); }
    void advance(unsigned ms)
    {
        run_until([] { return false; }, ms);
    }
    // A terminal asks for a TEI with reference ri.
    void request(unsigned ri) { rx(tei_message(false, ri, ISDN::kIdentityRequest, 127)); }
    const ISDN::LAPD_NT_user* user(unsigned tei)
    {
        return nt->find_Tei(static_cast<uint8_t>(tei));
    }
};

// An S bus: every frame of the network side reaches every terminal, every
// terminal's frame reaches the network side, after delay_ms of loop time
// and in order. A seeded share of the frames that `lossy` selects is lost,
// each delivery drawn alone.
class SBus {
public:
    std::vector<std::unique_ptr<MemoryHDLC>> terminals;
    std::function<void(Packet&)> network; // delivery to the network side
    std::function<bool(const std::string&)> lossy;
    std::function<void(const std::string&)> on_lost;
    double loss = 0;
    unsigned delay_ms = 1;
    uint64_t lost = 0;

    explicit SBus(unsigned count, uint32_t seed = 1) : mRandom(seed)
    {
        for (unsigned i = 0; i < count; ++i) {
            terminals.emplace_back(new MemoryHDLC);
            terminals.back()->recording = false;
            terminals.back()->wire = [this](const std::string& f) { post(-1, f); };
        }
    }
    SBus(const SBus&) = delete;
    SBus& operator=(const SBus&) = delete;

    // A frame of the network side, for every terminal.
    void from_network(const std::string& frame)
    {
        for (int i = 0; i < int(terminals.size()); ++i)
            post(i, frame);
    }

private:
    // to: a terminal's index, or -1 for the network side.
    void post(int to, const std::string& frame)
    {
        if (loss > 0 && (!lossy || lossy(frame)) && std::uniform_real_distribution<double>(0, 1)(mRandom) < loss) {
            ++lost;
            if (on_lost)
                on_lost(frame);
            return;
        }
        mInFlight.push_back({Mux::milliseconds() + delay_ms, to, frame});
        if (!mTimer.pending())
            mTimer.set(delay_ms, &SBus::relay, this);
    }
    void relay()
    {
        uint32_t now = Mux::milliseconds();
        while (!mInFlight.empty() && int32_t(mInFlight.front().due - now) <= 0) {
            Frame f = std::move(mInFlight.front());
            mInFlight.pop_front();
            if (f.to >= 0) {
                terminals[size_t(f.to)]->deliver(f.bytes);
            } else if (network) {
                Packet p = make_packet(f.bytes);
                network(p);
            }
        }
        if (!mInFlight.empty() && !mTimer.pending())
            mTimer.set(unsigned(std::max(int32_t(mInFlight.front().due - now), 0)), &SBus::relay, this);
    }

    struct Frame {
        uint32_t due;
        int to;
        std::string bytes;
    };
    std::deque<Frame> mInFlight;
    std::mt19937 mRandom;
    Timer mTimer;
};

} // namespace vbtest
