// An in-memory D channel for the data link tests: two GenericHDLC ends
// joined by a relay that delivers each frame to the other end after a
// delay of loop time (virtual time under Mux::VirtualClock), losing a
// seeded share of them. An end can also stand alone and only record what
// it was given, for tests that play the peer frame by frame.
#pragma once

#include <deque>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/mux_time.h"
#include "runtime/timer.h"
#include "signalling/hdlc.h"
#include "tests/runtime/packet_support.h"
#include "tests/signalling/signalling_commands.h"

namespace vbtest {

// One end of the channel.
class MemoryHDLC : public GenericHDLC {
public:
    // Gets the frames that reach this end.
    HDLC::Notify* notify = nullptr;
    // Where a written frame goes; unset, frames are only recorded.
    std::function<void(const std::string&)> wire;
    // Every frame written, in hexadecimal, while recording.
    std::vector<std::string> sent;
    bool recording = true;
    bool open = true;
    // Writes that block from now on, as a full driver queue does (EAGAIN).
    bool blocked = false;
    unsigned refused = 0;

    bool hdlc_transmit(Packet& frame) override
    {
        if (frame.length() == 0)
            return true;
        if (!open || blocked) {
            ++refused;
            return false;
        }
        std::string bytes = content(frame);
        if (recording)
            sent.push_back(hex(bytes));
        if (wire)
            wire(bytes);
        return true;
    }
    bool is_open() const override { return open; }
    bool is_ready() const override { return !blocked; }

    // The driver's queue drained: the receiver hears that it may send.
    void unblock()
    {
        blocked = false;
        if (notify)
            notify->on_hdlc_ready();
    }
    // Hands a frame to the receiver as a channel does: a buffer of its own.
    void deliver(const std::string& bytes)
    {
        if (!notify)
            return;
        Packet p = make_packet(bytes);
        notify->on_hdlc_receive(p);
    }
    // What was written since the last call.
    std::vector<std::string> take()
    {
        std::vector<std::string> out;
        out.swap(sent);
        return out;
    }
};

// Two ends and a relay between them: frames keep their order, each is lost
// with probability `loss` (seeded), the others arrive after `delay_ms`.
class HdlcPair {
public:
    struct Direction {
        std::deque<std::pair<uint32_t, std::string>> inFlight; // (due, frame)
        uint64_t delivered = 0;
        uint64_t lost = 0;
    };

    MemoryHDLC a, b;
    Direction toB, toA;
    double loss = 0;
    unsigned delay_ms = 1;

    explicit HdlcPair(uint32_t seed = 1) : mRandom(seed)
    {
        a.recording = b.recording = false;
        a.wire = [this](const std::string& f) { send(toB, f); };
        b.wire = [this](const std::string& f) { send(toA, f); };
    }
    HdlcPair(const HdlcPair&) = delete;
    HdlcPair& operator=(const HdlcPair&) = delete;

    // Called after each delivered frame (for invariants).
    std::function<void()> after_delivery;

private:
    void send(Direction& d, const std::string& frame)
    {
        if (loss > 0 && std::uniform_real_distribution<double>(0, 1)(mRandom) < loss) {
            ++d.lost;
            return;
        }
        d.inFlight.emplace_back(Mux::milliseconds() + delay_ms, frame);
        if (!mTimer.pending())
            mTimer.set(delay_ms, &HdlcPair::relay, this);
    }
    // Delivers what is due, oldest first, then waits for the next one.
    void relay()
    {
        uint32_t now = Mux::milliseconds();
        for (;;) {
            Direction* d = nullptr;
            for (Direction* c : {&toB, &toA})
                if (!c->inFlight.empty() && int32_t(c->inFlight.front().first - now) <= 0 &&
                    (!d || int32_t(c->inFlight.front().first - d->inFlight.front().first) < 0))
                    d = c;
            if (!d)
                break;
            std::string frame = std::move(d->inFlight.front().second);
            d->inFlight.pop_front();
            ++d->delivered;
            (d == &toB ? b : a).deliver(frame);
            if (after_delivery)
                after_delivery();
        }
        uint32_t next = 0;
        bool any = false;
        for (Direction* c : {&toB, &toA})
            if (!c->inFlight.empty() && (!any || int32_t(c->inFlight.front().first - next) < 0)) {
                next = c->inFlight.front().first;
                any = true;
            }
        if (any && !mTimer.pending())
            mTimer.set(int32_t(next - now) > 0 ? unsigned(next - now) : 0u, &HdlcPair::relay, this);
    }

    std::mt19937 mRandom;
    Timer mTimer;
};

} // namespace vbtest
