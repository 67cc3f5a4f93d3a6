// RTP slots made by the real factory on the simulated board's RTP engine,
// with UDP peers on the loopback and a loop that runs until something
// arrived: what the RTP slot tests drive.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "board/rtp_requests.h"
#include "media/rtp_factory.h"
#include "media/rtp_slot.h"
#include "simboard/rtp.h"
#include "simboard/voice.h"
#include "tests/media/media_support.h"
#include "tests/runtime/loop_support.h"
#include "tests/support/rtp_peer.h"

namespace vbtest {

// Runs the loop until cond holds or timeout_ms of real time passed, whatever
// the loop's clock; whether it holds. A short timer bounds each poll, so
// the deadline is seen also under a virtual clock that never moves.
inline bool run_real(const std::function<bool()>& cond, int timeout_ms = 2000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    FnDpc check([&] {
        if (cond() || std::chrono::steady_clock::now() > deadline)
            multiplexer.terminate();
    });
    check.dpc.Activate();
    Timer bound;
    struct Rearm {
        Timer* t;
        void fire() { t->set<Rearm>(5, &Rearm::fire, this); }
    } rearm{&bound};
    rearm.fire();
    multiplexer.run(false, true);
    return cond();
}

inline LGCP::Command ioctl_command(const std::function<void(LGCP::IoctlParams&)>& fill)
{
    LGCP::Command c;
    fill(c.get_ioctl());
    return c;
}

// On a network of its own: the ports that its tests find free and make
// slots on, a thousand times over, stay free.
struct RtpWorld : OwnNetwork, MediaWorld {
    RtpFactory factory_;

    // The slots go before their factory.
    ~RtpWorld() { slots().OnDisconnect(); }

    SimBoard::RtpEngine& engine() { return *sim.board.find<SimBoard::RtpEngine>(Device::Rtp::kDevice); }
    SimBoard::VoiceDevice& voice() { return *sim.board.find<SimBoard::VoiceDevice>(Device::Voice::kDevice); }
    // Descriptors of the process, once the board has let go of the closed ones.
    int fds()
    {
        sim.board.sweep();
        return settled_fd_count();
    }
    RtpSlot* rtp(unsigned n) { return dynamic_cast<RtpSlot*>(slots().at(n)); }
    // The reads (or writes ...) the device received since the log was cleared.
    size_t operations(const std::string& device, SimBoard::Op op) const
    {
        size_t n = 0;
        for (const auto& r : sim.board.log())
            n += r.op == op && r.device == device;
        return n;
    }
    // Runs the loop for n passes (a descriptor left readable is read on
    // every one of them), however much time they take.
    void run_passes(unsigned n)
    {
        unsigned end = clock.polls() + n;
        // A bound on what the passes did means nothing if they never ran.
        if (!run_real([&] { return clock.polls() >= end; }, 10000))
            ADD_FAILURE() << "the loop made " << (clock.polls() + n - end) << " of " << n << " passes";
    }
    // From now on the device fails its reads with error (the next one, or
    // every one); with no error it hangs up every open descriptor. What
    // the controller and the error stream had so far, and the log, are
    // dropped.
    void fail_reads(const std::string& device, int error, bool always)
    {
        controller();
        err.clear();
        sim.board.clear_log();
        if (error) {
            sim.board.fail(device, SimBoard::Op::read, error,
                           always ? SimBoard::Board::Times::always : SimBoard::Board::Times::once);
            return;
        }
        for (SimBoard::Channel* ch : sim.board.channels(device))
            ch->hang_up();
    }
    // How many times text was written to the error stream.
    size_t errors(const std::string& text) const
    {
        std::string all = err.str();
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
            ++n;
        return n;
    }
    // The last begin record the engine received.
    rtp_connection_params begun()
    {
        rtp_connection_params p;
        auto r = sim.board.ioctls(Device::Rtp::kDevice, Device::Rtp::RTP_BEGIN_SESSION).back();
        std::memcpy(&p, r.in.data(), sizeof(p));
        return p;
    }
};

} // namespace vbtest
