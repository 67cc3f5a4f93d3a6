// Every board device the server watches, hung up or failing every read,
// through the running server, each in a fresh one: the loop passes and the
// reads on the device stay few, the log says so in a line or two, shared
// services come back without a configuration command, and a slot whose
// own descriptor went says so or refuses its next command. The board's
// test port counts the reads and the loop passes, so nothing here leans
// on how fast the machine is.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <functional>
#include <list>

#include "board/dsp_requests.h"
#include "board/dtmf_requests.h"
#include "board/e1_requests.h"
#include "board/mcc_requests.h"
#include "board/rtp_ext_requests.h"
#include "board/rtp_requests.h"
#include "tests/e2e/board_port.h"
#include "tests/e2e/flow_commands.h"
#include "tests/e2e/server_process.h"
#include "tests/support/rtp_peer.h"

using namespace vbtest;
using testing::Contains;
using testing::HasSubstr;

namespace {

enum class Fault { hangUp, failingReads };

// How many loop passes the server is watched for once it met the fault:
// each is a chance for a handler still watching the dead descriptor to
// read it again or to write a line.
const uint64_t kPasses = 30;
const uint64_t kMaxReads = 4;
const size_t kMaxLines = 4;

std::string hex(const void* data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        uint8_t b = static_cast<const uint8_t*>(data)[i];
        out += digits[b >> 4], out += digits[b & 0xF];
    }
    return out;
}

// One fresh server with its controller and the board's test port.
class Flow {
public:
    bool start()
    {
        return server.start() && ctl.connect(server.port()) && board.connect(server.pid());
    }

    Texts to(int slot, const LGCP::Command& c) { return ctl.exchange(to_slot(c, slot)); }
    Texts ioctl(int slot, const std::function<void(LGCP::IoctlParams&)>& set)
    {
        LGCP::Command c;
        set(c.get_ioctl());
        return to(slot, c);
    }
    // A CAS command without a slot; op: o open, g get.
    Texts cas(int trunk, int timeslot, char op)
    {
        return ioctl(-1, [&](LGCP::IoctlParams& p) {
            LGCP::CasCommand& c = p.get_cas();
            c.get_channel().set_path(trunk);
            c.get_channel().set_timeslot(timeslot);
            op == 'o' ? c.get_cmd().set_open(1) : c.get_cmd().set_get();
        });
    }
    // An RTP slot towards a peer of its own, radio controlled when asked;
    // its channel (its time slot on the tone and DSP devices).
    int rtp(int slot, bool lemz = false)
    {
        mRemotes.emplace_back();
        LGCP::Command c = create_rtp(mRemotes.back().port);
        TERM::RtpParams& p = c.get_create().get_rtp().get_codecRTP();
        p.include_shost().set_iaddr("127.0.0.1");
        p.include_shost().set_port(free_rtp_port());
        lemz ? p.include_radio().get_status().get_lemz().get_freq().set_frequency("0.0") : void();
        Texts t = to(slot, c);
        EXPECT_THAT(t, Contains("slot=" + std::to_string(slot) + " success"));
        for (const std::string& m : t)
            if (m.find("transmitter active : ") != std::string::npos)
                return std::stoi(m.substr(m.rfind(": ") + 2));
        return -1;
    }

    uint64_t number(const std::string& command)
    {
        std::string a = board.ask(command);
        EXPECT_EQ(a.compare(0, 3, "ok "), 0) << command << ": " << a;
        return a.size() > 3 ? std::stoull(a.substr(3)) : 0;
    }
    uint64_t count(const std::string& device, const char* op) { return number("count " + device + " " + op); }
    // Until the loop made n more passes; the port's own questions wake it,
    // so an idle server gets there in a few milliseconds too. Each question
    // costs an idle server a pass (a loaded one no more); a loop that spins
    // makes many for each.
    void wait_passes(uint64_t n)
    {
        uint64_t start = number("passes"), now = start, asks = 1;
        EXPECT_TRUE(eventually([&] {
            ++asks;
            now = number("passes");
            return now >= start + n;
        })) << "the loop stands still";
        EXPECT_LE(now - start, 2 * asks + 3) << "the loop spins: " << now - start << " passes for " << asks
                                             << " questions";
    }
    size_t lines() const
    {
        std::string all = server.out() + server.err();
        return static_cast<size_t>(std::count(all.begin(), all.end(), '\n'));
    }
    std::string log_since(size_t line) const
    {
        std::string all = server.out() + server.err();
        size_t at = 0;
        for (size_t n = 0; n < line && at != std::string::npos; ++n)
            at = all.find('\n', at) + 1;
        return at == std::string::npos ? std::string() : all.substr(at);
    }

    ServerProcess server;
    Controller ctl;
    BoardPort board;
    int channel = -1;
    uint64_t opens = 0; // of the device, before the fault

private:
    std::list<Remote> mRemotes;
};

struct Row {
    const char* device;
    size_t record; // bytes of one event record of the device
    // A user of the device; it sets flow.channel when it has one.
    std::function<void(Flow&)> setup;
    // What the controller meets after the fault, given what came meanwhile.
    std::function<void(Flow&, const Texts& since)> recovery;
};

// Answers the messages carry, for one slot.
testing::Matcher<const Texts&> answered(int slot, const std::string& answer)
{
    return Contains("slot=" + std::to_string(slot) + " " + answer);
}

const Device::Cas::Record kFarEnd{1, 5, 9, 0, {0, 0}};

void cas_setup(Flow& f)
{
    EXPECT_THAT(f.cas(1, 5, 'o'), Contains("success"));
    f.opens = f.count(Device::Cas::kDevice, "open");
}

// The device is open again, its events flow, and the trunk that was open
// is refused until the controller opens it again.
void cas_recovery(Flow& f, const Texts&)
{
    EXPECT_TRUE(eventually([&] { return f.count(Device::Cas::kDevice, "open") > f.opens; }, 3000))
        << "the next poll opens the device again";
    EXPECT_THAT(f.cas(1, 5, 'g'), Contains("error internal"));
    EXPECT_EQ(f.number("post " + std::string(Device::Cas::kDevice) + " " + hex(&kFarEnd, sizeof(kFarEnd))), 1u);
    EXPECT_THAT(f.ctl.next(2000), HasSubstr("cas"));
    EXPECT_THAT(f.cas(1, 5, 'o'), Contains("success"));
}

void mcc_setup(Flow& f)
{
    LGCP::Command c;
    c.get_create().get_mcc().set_type(LGCP::MccType::data);
    c.get_create().get_mcc().set_mode(LGCP::MccMode::standard);
    EXPECT_THAT(f.to(1, c), answered(1, "success"));
}

void mcc_recovery(Flow& f, const Texts&)
{
    LGCP::Command c;
    c.get_userData().assign(3, 'x');
    EXPECT_THAT(f.to(1, c), Contains(HasSubstr("slot=1 error")));
}

void tone_setup(Flow& f)
{
    f.channel = f.rtp(1);
    EXPECT_THAT(f.ioctl(1, [](LGCP::IoctlParams& p) { p.set_dtmf_enable(true); }), answered(1, "success"));
}

// The device is open again and the detector the controller switched on
// before is on again (the driver forgot it with the lost descriptor): a
// digit detected after it reaches the controller.
void tone_recovery(Flow& f, const Texts&)
{
    EXPECT_THAT(f.ioctl(1, [](LGCP::IoctlParams& p) { p.set_dtmf_enable(true); }), answered(1, "success"));
    EXPECT_EQ(f.number("dtmf " + std::to_string(f.channel) + " 5 77"), 1u);
    EXPECT_THAT(f.ctl.next(2000), HasSubstr("slot=1 tonec"));
}

void dsp_setup(Flow& f)
{
    f.channel = f.rtp(1);
    EXPECT_THAT(f.ioctl(1, [](LGCP::IoctlParams& p) { p.set_vad_enable(true); }), answered(1, "success"));
    f.opens = f.count(Device::Dsp::kDevice, "open");
}

// Opened again, by the retry or by the command, whichever comes first.
void dsp_recovery(Flow& f, const Texts&)
{
    EXPECT_THAT(f.ioctl(1, [](LGCP::IoctlParams& p) { p.set_vad_enable(true); }), answered(1, "success"));
    EXPECT_GT(f.count(Device::Dsp::kDevice, "open"), f.opens);
    // Voice activity both ways.
    EXPECT_EQ(f.number("dsp " + std::to_string(f.channel) + " 1 3 1 1"), 1u);
    EXPECT_THAT(f.ctl.next(2000), HasSubstr("slot=1"));
}

void rtp_setup(Flow& f)
{
    f.channel = f.rtp(1);
}

// How many of the messages are slot 1's abort.
size_t aborts(const Texts& messages)
{
    return static_cast<size_t>(std::count_if(messages.begin(), messages.end(),
                                             [](const std::string& m) { return m.find("slot=1 abort") == 0; }));
}

// A plain RTP slot has no signal for a lost session: it refuses its next
// commands instead, an ioctl and a connection alike.
void rtp_recovery(Flow& f, const Texts& since)
{
    EXPECT_EQ(aborts(since), 0u);
    EXPECT_THAT(f.ioctl(1, [](LGCP::IoctlParams& p) { p.get_pd_enable().set_timeout(100); }),
                answered(1, "error internal"));
    // A receiver that a live slot would be connected to.
    EXPECT_THAT(f.to(2, create_ext(0, 0)), answered(2, "success"));
    EXPECT_THAT(f.to(2, simple(LGCP::Command::e_activate)), answered(2, "success"));
    EXPECT_THAT(f.to(1, simple(LGCP::Command::e_connect, 2)), answered(1, "error internal"));
}

void radio_setup(Flow& f)
{
    f.channel = f.rtp(1, true);
}

// The radio slot says once that its extension session went, and refuses
// the radio commands that would ride on it.
void radio_recovery(Flow& f, const Texts& since)
{
    EXPECT_EQ(aborts(since), 1u);
    LGCP::Command c;
    TERM::LemzRadioModifier& m = c.get_ioctl().get_rtpExt().get_lemz();
    m.get_addr().set_session_addr("127.0.0.1");
    m.get_params().get_wm_trans().set_ip("127.0.0.1");
    EXPECT_THAT(f.to(1, c), answered(1, "error internal"));
}

const Row kRows[] = {
    {Device::Cas::kDevice, sizeof(Device::Cas::Record), cas_setup, cas_recovery},
    {Device::Mcc::kDevice, 16, mcc_setup, mcc_recovery},
    {Device::Dtmf::kDevice, sizeof(Device::Dtmf::Event), tone_setup, tone_recovery},
    {Device::Dsp::kDevice, sizeof(Device::Dsp::Event), dsp_setup, dsp_recovery},
    {Device::Rtp::kDevice, sizeof(rtp_event), rtp_setup, rtp_recovery},
    {Device::RtpExt::kDevice, 16, radio_setup, radio_recovery},
};

void lose(Flow& f, const Row& row, Fault fault)
{
    std::string dev = row.device;
    if (fault == Fault::hangUp) {
        EXPECT_GE(f.number("hangup " + dev), 1u) << "the user holds the device";
        return;
    }
    EXPECT_EQ(f.board.ask("fail " + dev + " read 5 always"), "ok");
    std::string record(row.record, '\0');
    EXPECT_GE(f.number("post " + dev + " " + hex(record.data(), record.size())), 1u);
}

TEST(DeviceLoss, EveryWatchedDeviceHungUpOrFailingItsReads)
{
    for (const Row& row : kRows)
        for (Fault fault : {Fault::hangUp, Fault::failingReads}) {
            SCOPED_TRACE(std::string(row.device) + (fault == Fault::hangUp ? " hung up" : " failing its reads"));
            Flow f;
            ASSERT_TRUE(f.start()) << f.server.err();
            row.setup(f);
            f.ctl.sync();
            size_t lines = f.lines();
            uint64_t reads = f.count(row.device, "read");
            lose(f, row, fault);
            // The server has met the fault once it answers what came after.
            Texts since = f.ctl.sync();
            f.wait_passes(kPasses);
            for (const std::string& m : f.ctl.sync())
                since.push_back(m);
            EXPECT_LE(f.count(row.device, "read") - reads, kMaxReads);
            EXPECT_LE(f.lines() - lines, kMaxLines) << f.log_since(lines).substr(0, 2000);
            if (fault == Fault::failingReads) {
                EXPECT_EQ(f.board.ask("fail " + std::string(row.device) + " read 0"), "ok");
            }
            row.recovery(f, since);
        }
}

} // namespace

namespace {

uint64_t lines_with(const std::string& log, const std::string& text)
{
    uint64_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
        ++n;
    return n;
}

void dtmf_on(LGCP::IoctlParams& p)
{
    p.set_dtmf_enable(true);
}
void vad_on(LGCP::IoctlParams& p)
{
    p.set_vad_enable(true);
}
void wait_tone(LGCP::IoctlParams& p)
{
    p.get_activateWaitTone();
}

// Both devices hang up under ten slots detecting digits and voice, and
// each refuses the first request of the restore: with no command from the
// controller, every slot detects again within a couple of seconds.
TEST(DeviceLoss, ToneAndDspDetectionComesBackWithoutACommand)
{
    Flow f;
    ASSERT_TRUE(f.start()) << f.server.err();
    std::vector<int> channels;
    for (int slot = 1; slot <= 10; ++slot) {
        channels.push_back(f.rtp(slot));
        EXPECT_THAT(f.ioctl(slot, dtmf_on), answered(slot, "success"));
        EXPECT_THAT(f.ioctl(slot, vad_on), answered(slot, "success"));
    }
    EXPECT_EQ(f.board.ask("fail " + std::string(Device::Dtmf::kDevice) + " " +
                          std::to_string(Device::Dtmf::DTMF_ENABLE_DETECTOR) + " 5"),
              "ok");
    EXPECT_EQ(f.board.ask("fail " + std::string(Device::Dsp::kDevice) + " " +
                          std::to_string(Device::Dsp::DSPROC_ENABLE) + " 5"),
              "ok");
    EXPECT_EQ(f.number("hangup " + std::string(Device::Dtmf::kDevice)), 1u);
    EXPECT_EQ(f.number("hangup " + std::string(Device::Dsp::kDevice)), 1u);
    f.ctl.sync();

    for (int ch : channels) {
        EXPECT_TRUE(eventually([&] { return f.number("dtmf " + std::to_string(ch) + " 5 77") == 1; }, 4000))
            << "digits on time slot " << ch;
        EXPECT_TRUE(eventually([&] { return f.number("dsp " + std::to_string(ch) + " 1 1 1 0") == 1; }, 4000))
            << "voice activity on time slot " << ch;
    }
    // The last events are read in a later pass than the port's command.
    Texts got;
    for (std::string m = f.ctl.next(2000); !m.empty() && got.size() < 20; m = f.ctl.next(2000))
        got.push_back(m);
    for (int slot = 1; slot <= 10; ++slot) {
        std::string head = "slot=" + std::to_string(slot) + " ";
        EXPECT_THAT(got, Contains(HasSubstr(head + "tonec")));
        EXPECT_THAT(got, Contains(HasSubstr(head + "vad")));
    }
    std::string log = f.server.err();
    EXPECT_EQ(lines_with(log, "tonec: fail to read from tonec"), 1u);
    EXPECT_EQ(lines_with(log, "tonec: device back"), 1u);
    EXPECT_EQ(lines_with(log, "dsproc: device back"), 1u);
}

// Both devices removed for good under slots that detect and play wait
// tones: what needs them answers an error, the cadences cost a line or
// two however many steps they take, and the devices come back by
// themselves once they can be opened.
TEST(DeviceLoss, ToneAndDspDevicesGoneForGoodAnswerErrorsAndKeepTheLogShort)
{
    Flow f;
    ASSERT_TRUE(f.start()) << f.server.err();
    f.rtp(1);
    EXPECT_THAT(f.ioctl(1, dtmf_on), answered(1, "success"));
    EXPECT_THAT(f.ioctl(1, vad_on), answered(1, "success"));
    const int kTones = 16;
    for (int slot = 2; slot < 2 + kTones; ++slot) {
        f.rtp(slot);
        EXPECT_THAT(f.ioctl(slot, wait_tone), answered(slot, "success"));
    }
    for (const char* dev : {Device::Dtmf::kDevice, Device::Dsp::kDevice}) {
        EXPECT_EQ(f.board.ask("fail " + std::string(dev) + " open 19 always"), "ok");
        EXPECT_EQ(f.number("hangup " + std::string(dev)), 1u);
    }
    f.ctl.sync();
    size_t lines = f.lines();

    for (auto set : {dtmf_on, vad_on, wait_tone})
        EXPECT_THAT(f.ioctl(1, set), Contains(HasSubstr("slot=1 error")));
    // Every cadence meets the missing device at its next step.
    uint64_t opens = f.count(Device::Dtmf::kDevice, "open");
    EXPECT_TRUE(eventually([&] { return f.count(Device::Dtmf::kDevice, "open") >= opens + kTones; }, 4000));
    EXPECT_LE(f.lines() - lines, 6u) << f.log_since(lines).substr(0, 2000);

    for (const char* dev : {Device::Dtmf::kDevice, Device::Dsp::kDevice})
        EXPECT_EQ(f.board.ask("fail " + std::string(dev) + " open 0"), "ok");
    EXPECT_TRUE(eventually([&] { return lines_with(f.server.err(), "device back") == 2; }, 4000))
        << f.log_since(lines).substr(0, 2000);
    EXPECT_THAT(f.ioctl(1, dtmf_on), answered(1, "success"));
    EXPECT_THAT(f.ioctl(1, wait_tone), answered(1, "success"));
}

// A tone device that opens but fails every request with ENODEV is not
// back: 16 wait tones meet it at each step of their cadence, yet it is
// opened again only once a second, and the log keeps to a few lines until
// it takes requests again, when the wait tones sound once more.
TEST(DeviceLoss, AToneDeviceFailingEveryRequestIsOpenedOnceASecondWithAShortLog)
{
    Flow f;
    ASSERT_TRUE(f.start()) << f.server.err();
    const int kTones = 16;
    for (int slot = 1; slot <= kTones; ++slot) {
        f.rtp(slot);
        EXPECT_THAT(f.ioctl(slot, wait_tone), answered(slot, "success"));
    }
    const std::string dial = std::to_string(Device::Dtmf::DTMF_DIAL);
    EXPECT_EQ(f.board.ask("fail " + std::string(Device::Dtmf::kDevice) + " " + dial + " 19 always"), "ok");
    size_t lines = f.lines();
    uint64_t opens = f.count(Device::Dtmf::kDevice, "open");
    auto start = std::chrono::steady_clock::now();
    // Every cadence steps at least once in 3 s.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(f.count(Device::Dtmf::kDevice, "open") - opens, uint64_t(seconds) + 2);
    EXPECT_LE(f.lines() - lines, 10u) << f.log_since(lines).substr(0, 2000);
    EXPECT_EQ(lines_with(f.log_since(lines), "device back"), 0u);

    uint64_t dials = f.count(Device::Dtmf::kDevice, "request");
    EXPECT_EQ(f.board.ask("fail " + std::string(Device::Dtmf::kDevice) + " " + dial + " 0"), "ok");
    EXPECT_TRUE(eventually([&] { return lines_with(f.server.err(), "tonec: device back after") == 1; }, 4000))
        << f.log_since(lines).substr(0, 2000);
    EXPECT_GE(f.count(Device::Dtmf::kDevice, "request"), dials + kTones);
}

} // namespace
