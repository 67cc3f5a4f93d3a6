// The board descriptors behind an RTP slot (the tone service's "/dev/dtmf",
// the DSP service's "/dev/dsp" and the slot's own "/dev/rtp" session),
// each hung up, failing its reads for good, or failing one read for a
// moment, with the loop running: an end costs a read or two and one line
// and nothing watches the descriptor afterwards; a moment's failure
// changes nothing. The services come back with the slot's next command
// that uses them; the slot whose session ended refuses every command but
// its destroy, connections to it too. A driver that gives short records
// costs a bounded number of reads a pass and two lines a run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "tests/media/rtp_support.h"

using namespace vbtest;
using testing::ElementsAre;
using testing::IsEmpty;
using C = LGCP::Command;
using I = LGCP::IoctlParams;

namespace {

struct DeviceLoss : ::testing::Test, RtpWorld {
    uint16_t port = free_rtp_port();

    RtpSlot& slot() { return *rtp(2); }
    uint32_t ts() { return uint32_t(slot().channel()); }
    Texts ioctl(const std::function<void(I&)>& fill) { return command(ioctl_command(fill), 2); }
    size_t reads(const char* device) const { return operations(device, SimBoard::Op::read); }
    // What reaches the controller first, waiting up to a second for it.
    Texts first_signals()
    {
        Texts got;
        run_real([&] {
            for (const std::string& t : controller())
                got.push_back(t);
            return !got.empty();
        }, 1000);
        return got;
    }
};

// One watched descriptor: what the slot switches on so that it is watched,
// an event that reaches the controller through it, and the command that
// follows its end.
struct Watched {
    const char* name; // of the line "fail to read from <name>: "
    const char* device;
    std::function<void(I&)> use;
    std::function<void(DeviceLoss&)> post;
    const char* signal; // the start of what the event becomes
    bool watching(DeviceLoss& w) const
    {
        return name == std::string("tonec") ? w.tonec().fd() >= 0
               : name == std::string("dsproc") ? w.dsproc().fd() >= 0
                                               : w.slot().watching();
    }
};

const Watched kWatched[] = {
    {"tonec", Device::Dtmf::kDevice, [](I& i) { i.set_dtmf_enable(true); },
     [](DeviceLoss& w) { w.dtmf().detect(w.ts(), 6, 1); }, "slot=2 tonec { timestamp 1, event dtmf : 6}"},
    {"dsproc", Device::Dsp::kDevice, [](I& i) { i.set_vad_enable(true); },
     [](DeviceLoss& w) { w.dsp().event(w.ts(), Device::Dsp::kVad, 1, 1, 0); }, "slot=2 vad { vad-rx TRUE}"},
    {"rtp", Device::Rtp::kDevice, [](I& i) { i.get_pd_enable().set_timeout(5); },
     [](DeviceLoss& w) {
         rtp_event e = {};
         e.type = 1;
         w.engine().post_event(w.slot().channel(), e);
     },
     "slot=2 rtp"},
};

// How the descriptor fails; an end names why in its line.
struct Ending {
    const char* what;
    int error;        // of the reads, 0 for a hang-up
    bool always;      // every read fails, not only the next one
    const char* why;  // null for a moment's failure
};

const Ending kEndings[] = {
    {"hang-up", 0, false, "end of file"},
    {"EIO always", EIO, true, "Input/output error"},
    {"ENODEV once", ENODEV, false, "No such device"},
    {"EAGAIN once", EAGAIN, false, nullptr},
    {"EINTR once", EINTR, false, nullptr},
};

TEST_F(DeviceLoss, EachWatchedDescriptorEndsOnceOrReadsOn)
{
    for (const Watched& w : kWatched) {
        for (const Ending& e : kEndings) {
            SCOPED_TRACE(std::string(w.name) + ", " + e.what);
            ASSERT_THAT(command(create_rtp(port), 2), testing::Contains("slot=2 success"));
            ASSERT_THAT(ioctl(w.use), ElementsAre("slot=2 success"));
            ASSERT_TRUE(w.watching(*this));
            fail_reads(w.device, e.error, e.always);
            if (e.error)
                w.post(*this);
            run_passes(50);
            EXPECT_LE(reads(w.device), 3u);
            std::string line = std::string("fail to read from ") + w.name + ": ";
            if (!e.why) {
                EXPECT_TRUE(w.watching(*this));
                EXPECT_EQ(errors(line), 0u) << err.str();
                EXPECT_THAT(controller(), testing::Contains(testing::StartsWith(w.signal)));
            } else {
                EXPECT_FALSE(w.watching(*this));
                EXPECT_EQ(errors(line), 1u) << err.str();
                EXPECT_EQ(errors(line + e.why + "\n"), 1u) << err.str();
                EXPECT_THAT(controller(), IsEmpty());
                sim.board.clear_failures();
                Texts answer = ioctl(w.use);
                if (w.name == std::string("rtp")) {
                    // The session is gone: no command of the slot is done.
                    EXPECT_THAT(answer, ElementsAre("slot=2 error internal"));
                    EXPECT_THAT(ioctl([](I& i) { i.set_dtmf_enable(true); }), ElementsAre("slot=2 error internal"));
                } else {
                    // The service is back, and its events with it.
                    EXPECT_THAT(answer, ElementsAre("slot=2 success"));
                    EXPECT_TRUE(w.watching(*this));
                    w.post(*this);
                    EXPECT_THAT(first_signals(), ElementsAre(w.signal));
                }
            }
            sim.board.clear_failures();
            EXPECT_THAT(command(simple(LGCP::Command::e_destroy), 2), ElementsAre("slot=2 success"));
        }
    }
}

// The loop's clock, with the poll result of one descriptor as a driver may
// give it: the wake-up that the loop hands over for whichever descriptor
// of that file it watches (a copy of the holder's).
struct PollResult : Mux::Clock {
    explicit PollResult(Mux::VirtualClock& base) : base(base) { Mux::set_clock(this); }
    ~PollResult() override { Mux::set_clock(&base); }
    void wall(Mux::timeval& tv) override { base.wall(tv); }
    uint64_t monotonic_us() override { return base.monotonic_us(); }
    // From the next pass on, the descriptors of fd's file poll as revents.
    void force(int fd, short r)
    {
        struct stat st;
        forced = fd >= 0 && ::fstat(fd, &st) == 0;
        file = forced ? std::make_pair(st.st_dev, st.st_ino) : std::make_pair(dev_t(), ino_t());
        revents = r;
    }
    void clear() { forced = false; }
    int poll(pollfd* fds, unsigned long nfds, int timeout_ms) override
    {
        std::vector<unsigned long> hits;
        struct stat st;
        for (unsigned long i = 0; forced && i < nfds; ++i)
            if (::fstat(fds[i].fd, &st) == 0 && std::make_pair(st.st_dev, st.st_ino) == file)
                hits.push_back(i);
        int ready = base.poll(fds, nfds, hits.empty() ? timeout_ms : 0);
        for (unsigned long i : hits) {
            ready += fds[i].revents == 0;
            fds[i].revents = revents;
        }
        return ready;
    }

    Mux::VirtualClock& base;
    bool forced = false;
    std::pair<dev_t, ino_t> file;
    short revents = 0;
};

// The same for a descriptor that ends with nothing to read, by a hang-up
// or by what the poll alone says: the loop pass that sees the end lets it
// go with one line.
TEST_F(DeviceLoss, AHangUpWithoutInputEndsTheServiceInOnePass)
{
    PollResult poll(clock);
    const struct {
        short revents; // 0: the device hangs the descriptor up
        const char* line;
    } rows[] = {
        {0, "tonec: fail to read from tonec: end of file\n"},
        {POLLHUP, "tonec: fail to read from tonec: hang-up\n"},
        {POLLERR, "tonec: fail to read from tonec: error\n"},
        {POLLNVAL, "tonec: fail to read from tonec: invalid descriptor\n"},
        {POLLIN | POLLERR, "tonec: fail to read from tonec: error\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        // A descriptor lost before any request worked is opened by the retry.
        ASSERT_THAT(command(create_rtp(port), 2), testing::Contains("slot=2 success"));
        ASSERT_THAT(ioctl([](I& i) { i.set_dtmf_enable(true); }), ElementsAre("slot=2 success"));
        ASSERT_GE(tonec().fd(), 0);
        err.clear();
        sim.board.clear_log();
        if (row.revents) {
            poll.force(tonec().fd(), row.revents);
        } else {
            for (SimBoard::Channel* ch : sim.board.channels(Device::Dtmf::kDevice))
                ch->hang_up();
        }
        wake();
        poll.clear();
        EXPECT_EQ(tonec().fd(), -1);
        EXPECT_EQ(err.str(), row.line);
        EXPECT_LE(reads(Device::Dtmf::kDevice), 1u);
        destroy(2);
    }
}

// A driver that gives short records: every pass reads what waits, in a
// bounded number of reads, so the loop neither spins on them nor stays in
// one handler; a run of them is one line, and its count one more when a
// whole record or the end of the descriptor ends the run.
TEST_F(DeviceLoss, ARunOfShortRecordsIsOneLineAndIsReadOut)
{
    const char raw[3] = {};
    // Up to 150 short records to the watched descriptor; how many.
    auto flood = [&](const Watched& w) {
        size_t n = 0;
        while (n < 150 && sim.board.post(w.device, raw, sizeof raw) > 0)
            ++n;
        return n;
    };
    for (const Watched& w : kWatched) {
        for (bool hang_up : {false, true}) {
            SCOPED_TRACE(std::string(w.name) + (hang_up ? ", ended by a hang-up" : ", ended by a record"));
            ASSERT_THAT(command(create_rtp(port), 2), testing::Contains("slot=2 success"));
            ASSERT_THAT(ioctl(w.use), ElementsAre("slot=2 success"));
            controller();
            err.clear();
            sim.board.clear_log();
            size_t first = flood(w);
            ASSERT_GT(first, size_t(Device::kReadsPerPass));
            run_passes(1);
            EXPECT_LE(reads(w.device), size_t(Device::kReadsPerPass));
            run_passes(20);
            EXPECT_GE(reads(w.device), first) << "all read";
            EXPECT_LE(reads(w.device), first + 20) << "and no more than that";
            size_t second = flood(w);
            run_passes(20);
            std::string shorts = std::string("short ") + w.name + " record";
            EXPECT_EQ(errors(shorts), 1u) << err.str();
            EXPECT_EQ(errors(shorts + " of 3 bytes dropped\n"), 1u) << err.str();
            EXPECT_TRUE(w.watching(*this));
            EXPECT_THAT(controller(), IsEmpty());
            std::string count = std::to_string(first + second - 1) + " more " + shorts + "(s) dropped\n";
            if (hang_up) {
                fail_reads(w.device, 0, false);
                run_passes(5);
                EXPECT_EQ(errors(count), 1u) << err.str();
                EXPECT_EQ(errors("fail to read from"), 1u) << err.str();
            } else {
                w.post(*this);
                EXPECT_THAT(first_signals(), ElementsAre(testing::StartsWith(w.signal)));
                EXPECT_EQ(errors(count), 1u) << err.str();
                EXPECT_EQ(errors(shorts), 2u) << err.str();
            }
            EXPECT_THAT(command(simple(LGCP::Command::e_destroy), 2), ElementsAre("slot=2 success"));
        }
    }
}

// Scripted slots beside the RTP slot 2, made by a factory asked before
// the media one.
struct LostSession : DeviceLoss {
    TestFactory peers{"peer", journal};
};

// A slot whose session ended takes no command but its destroy: the rest
// are answered with the error its ioctls get, on whichever side of a
// connection it had, also when the controller goes. The connections went
// with its channel, which the engine may give to the next session.
TEST_F(LostSession, TakesNoCommandButItsDestroy)
{
    ASSERT_THAT(command(create_rtp(port), 2), testing::Contains("slot=2 success"));
    for (int n : {3, 4, 5})
        ASSERT_THAT(command(create_ext(n, 100 + n), n), ElementsAre("slot=" + std::to_string(n) + " success"));
    ASSERT_THAT(command(simple(C::e_connect, 2), 3), testing::Contains("slot=3 success"));
    ASSERT_THAT(command(simple(C::e_connect, 4), 2), testing::Contains("slot=2 success"));
    const int32_t channel = slot().channel();
    ASSERT_TRUE(sim.hal().carries(channel, 3) && sim.hal().carries(104, channel));
    fail_reads(Device::Rtp::kDevice, 0, false);
    run_passes(5);
    ASSERT_TRUE(slot().IsLost());

    const struct {
        const char* what;
        int to;
        LGCP::Command command;
    } refused[] = {
        {"ioctl", 2, ioctl_command([](I& i) { i.set_dtmf_enable(true); })},
        {"activate", 2, simple(C::e_activate)},
        {"deactivate", 2, simple(C::e_deactivate)},
        {"userData", 2, simple(C::e_userData)},
        {"disconnect from a source of before", 2, simple(C::e_disconnect)},
        {"connect to a receiver of before", 2, simple(C::e_connect, 4)},
        {"connect to a new receiver", 2, simple(C::e_connect, 5)},
        {"connect into it", 5, simple(C::e_connect, 2)},
    };
    for (const auto& r : refused)
        EXPECT_THAT(command(r.command, r.to), ElementsAre("slot=" + std::to_string(r.to) + " error internal"))
            << r.what;
    EXPECT_FALSE(sim.hal().carries(channel, 3) || sim.hal().carries(104, channel));
    EXPECT_EQ(slot().GetSource(), nullptr);
    EXPECT_THAT(slot().GetReceivers(), IsEmpty());
    EXPECT_THAT(slots().at(5)->GetReceivers(), IsEmpty());

    // Its peers of before answer as free, and the controller's going takes
    // it, answering nothing.
    EXPECT_THAT(command(simple(C::e_disconnect), 4), ElementsAre("slot=4 success"));
    slots().OnDisconnect();
    EXPECT_THAT(slots().live(), IsEmpty());
    EXPECT_THAT(controller(), testing::Not(testing::Contains(testing::HasSubstr("error"))));
}

} // namespace
