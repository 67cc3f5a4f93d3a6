// Mixer and voice slots through the running server, as call flows: the
// board's test port adds mixer units and reads mixes; a TCP peer feeds a
// player, whose voice leaves as RTP, and RTP reaches a recorder's peer; a
// file player's channel counts what its line carried.
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "board/dtmf_requests.h"
#include "board/mixer_requests.h"
#include "tests/e2e/board_port.h"
#include "tests/e2e/server_process.h"
#include "tests/runtime/loop_support.h"
#include "tests/e2e/flow_commands.h"
#include "tests/support/media_params.h"
#include "tests/support/rtp_peer.h"

using namespace vbtest;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;
using C = LGCP::Command;

namespace {

// The payloads of the RTP packets reaching the peer until `size` bytes came.
std::string payloads(const UdpPeer& p, size_t size, int timeout_ms = 5000)
{
    std::string all;
    eventually([&] {
        for (std::string d; !(d = p.take()).empty();)
            all += d.substr(12);
        return all.size() >= size;
    }, timeout_ms);
    return all;
}

// Unit 0's output on a channel, and an input into a summator's mix.
LGCP::Command mixer_out(int channel)
{
    LGCP::Command out;
    out.get_create().get_mixerOut().set_unit(0);
    out.get_create().get_mixerOut().set_channel(tdm(channel));
    return out;
}

LGCP::Command mixer_in(int channel, int summator)
{
    LGCP::Command in;
    in.get_create().get_mixerIn().set_unit(0);
    in.get_create().get_mixerIn().set_channel(tdm(channel));
    in.get_create().get_mixerIn().set_summator(tdm(summator));
    return in;
}

class MediaFlow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.start()) << server.err();
        ASSERT_TRUE(ctl.connect(server.port()));
        ASSERT_TRUE(board.connect(server.pid()));
    }
    // The messages up to and including one that holds `text`.
    Texts until(const std::string& text)
    {
        Texts got;
        for (std::string m; !(m = ctl.next()).empty();) {
            got.push_back(m);
            if (m.find(text) != std::string::npos)
                break;
        }
        return got;
    }
    // An rtp slot n towards remote, from a free local port, which it returns.
    uint16_t rtp(int n, const Remote& remote)
    {
        uint16_t local = free_rtp_port();
        LGCP::Command c = create_rtp(remote.port);
        TERM::HostAddress& shost = c.get_create().get_rtp().get_codecRTP().include_shost();
        shost.set_iaddr("127.0.0.1");
        shost.set_port(local);
        EXPECT_THAT(ctl.exchange(to_slot(c, n)), Contains(to_string(n) + " success"));
        return local;
    }
    static std::string to_string(int n) { return "slot=" + std::to_string(n); }
    // Trunk slot n on time slot n, and a file player n + 1 of the prompt
    // (without end by default) connected to it: what the connect brought.
    Texts play(int n, const std::string& prompt, int repeat = 0)
    {
        ctl.exchange(to_slot(create_trunk(0, n), n));
        LGCP::Command c;
        c.get_create().get_voice().get_player().get_file().get_name().push_back(ASN1::IA5String(prompt));
        c.get_create().get_voice().get_player().get_file().set_repeat(repeat);
        ctl.exchange(to_slot(c, n + 1));
        return ctl.exchange(to_slot(simple(C::e_connect, static_cast<unsigned>(n)), n + 1));
    }
    static int channel_of(const Texts& got)
    {
        for (const std::string& m : got)
            if (m.find("transmitter active : ") != std::string::npos)
                return std::stoi(m.substr(m.rfind(' ') + 1));
        return -1;
    }
    uint64_t number(const std::string& command) { return std::stoull(board.ask(command).substr(3)); }

    ServerProcess server;
    Controller ctl;
    BoardPort board;
};

TEST_F(MediaFlow, MixerSlotsMixAndAbortWithTheirUnit)
{
    ASSERT_EQ(board.ask("mixer-unit add 0 32,8"), "ok");
    LGCP::Command out = mixer_out(3);
    EXPECT_THAT(ctl.exchange(to_slot(out, 1)), ElementsAre(HasSubstr("insufficientResources")));
    EXPECT_THAT(ctl.exchange(to_slot(simple(C::e_query), -1)), Contains(HasSubstr("mixer { { unit 0, tdm_inputs 32,")));

    for (auto in : {std::make_pair(1, 16000), std::make_pair(2, 20000)}) {
        LGCP::MixerInput i;
        i.set_channel(tdm(in.first));
        i.set_gain(in.second);
        out.get_create().get_mixerOut().get_inputs().push_back(i);
    }
    EXPECT_THAT(ctl.exchange(to_slot(out, 1)), ElementsAre("slot=1 success"));
    EXPECT_EQ(board.ask("mixer-mix 0 3"), "ok 1:16000 2:20000");
    // Channel 1 is the output's: the input leaves its gain alone.
    EXPECT_THAT(ctl.exchange(to_slot(mixer_in(1, 3), 2)), ElementsAre("slot=2 success"));
    EXPECT_EQ(board.ask("mixer-mix 0 3"), "ok 1:16000 2:20000");

    // A scan that misses the unit (gone, or its query refused) leaves its
    // slots lost, and what they had on at their channels off; the unit
    // found again gives their channels to new slots, which the old slots'
    // destroys leave alone.
    LGCP::Command tone;
    tone.get_ioctl().get_tone_gen_enable().set_freq(425);
    tone.get_ioctl().get_tone_gen_enable().set_amp(300);
    LGCP::Command detector, vad;
    detector.get_ioctl().set_dtmf_enable(true);
    vad.get_ioctl().set_vad_enable(true);
    // What the tone device has on at unit 0's channels 3 and 1, and
    // whether the DSP reports voice at channel 1.
    const std::string output = "dtmf-slot " + std::to_string(4096 + 3), input = "dtmf-slot " + std::to_string(4096 + 1);
    const std::string off = "ok 0 0 0 0 0", voice = "dsp " + std::to_string(4096 + 1) + " 1 1 1 0";
    for (const char* miss : {"mixer-unit remove 0", "fail /dev/mixer 0x80104d07 5"}) {
        SCOPED_TRACE(miss);
        ASSERT_THAT(ctl.exchange(to_slot(tone, 1)), ElementsAre("slot=1 success"));
        ASSERT_THAT(ctl.exchange(to_slot(detector, 2)), ElementsAre("slot=2 success"));
        ASSERT_THAT(ctl.exchange(to_slot(vad, 2)), ElementsAre("slot=2 success"));
        ASSERT_NE(board.ask(output), off);
        ASSERT_NE(board.ask(input), off);
        ASSERT_EQ(board.ask(voice), "ok 1");
        ASSERT_THAT(until("slot=2 vad"), Contains(HasSubstr("slot=2 vad")));
        ASSERT_EQ(board.ask(miss), "ok");
        Texts q = ctl.exchange(to_slot(simple(C::e_query), -1));
        EXPECT_THAT(q, Contains("slot=1 abort 0"));
        EXPECT_THAT(q, Contains("slot=2 abort 0"));
        EXPECT_EQ(board.ask(output), off);
        EXPECT_EQ(board.ask(input), off);
        EXPECT_EQ(board.ask(voice), "ok 0");
        EXPECT_THAT(ctl.exchange(to_slot(simple(C::e_activate), 2)), ElementsAre("slot=2 error internal"));
        board.ask("mixer-unit add 0 32,8");
        ctl.exchange(to_slot(simple(C::e_query), -1));
        EXPECT_THAT(ctl.exchange(to_slot(out, 11)), ElementsAre("slot=11 success"));
        EXPECT_THAT(ctl.exchange(to_slot(simple(C::e_destroy), 1)), Contains("slot=1 success"));
        EXPECT_THAT(ctl.exchange(to_slot(simple(C::e_destroy), 2)), Contains("slot=2 success"));
        EXPECT_EQ(board.ask("mixer-mix 0 3"), "ok 1:16000 2:20000");
        ctl.exchange(to_slot(simple(C::e_destroy), 11));
        EXPECT_THAT(ctl.exchange(to_slot(out, 1)), ElementsAre("slot=1 success"));
        EXPECT_THAT(ctl.exchange(to_slot(mixer_in(1, 3), 2)), ElementsAre("slot=2 success"));
    }
}

// The board that scripts/run.sh starts has the usual mixer fit, which the
// server finds with the first query; a create before it says why it fails.
TEST_F(MediaFlow, MixerSlotsOnTheDefaultBoardAfterAQuery)
{
    EXPECT_THAT(ctl.exchange(to_slot(mixer_out(3), 1)), ElementsAre(HasSubstr("insufficientResources")));
    EXPECT_TRUE(eventually([&] {
        return server.err().find("mixer: no mixer unit 0, units found by the last query: none\n") != std::string::npos;
    })) << server.err();
    EXPECT_THAT(ctl.exchange(to_slot(simple(C::e_query), -1)),
                Contains(HasSubstr("mixer { { unit 0, tdm_inputs 32, tdm_outputs 32, mixer_inputs 16,")));

    EXPECT_THAT(ctl.exchange(to_slot(mixer_out(3), 1)), ElementsAre("slot=1 success"));
    EXPECT_THAT(ctl.exchange(to_slot(mixer_in(31, 3), 2)), ElementsAre("slot=2 success"));
    EXPECT_EQ(board.ask("mixer-mix 0 3"), "ok 3:32767 31:32767");
}

// The driver forgets a steady tone with its descriptor: once /dev/dtmf is
// back the output's tone is asked of the generator again, with no command.
TEST_F(MediaFlow, MixerToneSoundsAgainWhenTheToneDeviceIsBack)
{
    ASSERT_EQ(board.ask("record on"), "ok");
    ctl.exchange(to_slot(simple(C::e_query), -1));
    ASSERT_THAT(ctl.exchange(to_slot(mixer_out(3), 1)), ElementsAre("slot=1 success"));
    LGCP::Command tone;
    tone.get_ioctl().get_tone_gen_enable().set_freq(425);
    tone.get_ioctl().get_tone_gen_enable().set_amp(300);
    EXPECT_THAT(ctl.exchange(to_slot(tone, 1)), ElementsAre("slot=1 success"));
    // "ok <count> <words>=<result> ...": the tone is the last request.
    const std::string dials = "log /dev/dtmf " + std::to_string(Device::Dtmf::DTMF_DIAL);
    std::string first = board.ask(dials);
    std::string steady = first.substr(first.rfind(' '));
    ASSERT_EQ(first.compare(0, 5, "ok 1 "), 0) << first;
    EXPECT_EQ(board.ask("hangup /dev/dtmf"), "ok 1");
    std::string now;
    EXPECT_TRUE(eventually([&] {
        now = board.ask(dials);
        return now.find(steady) != now.rfind(steady);
    }, 3000)) << now;
}

// The mixer keeps a mix whoever holds it open: an end it refused at a
// destroy (an input's remove, an output's clear; EIO once, or the device
// unopenable for a while) leaves the board once it takes requests again,
// with no command.
TEST_F(MediaFlow, MixEndsTheMixerRefusedLeaveTheBoardOnceItIsBack)
{
    using namespace Device::Mixer;
    struct Row {
        bool output;
        bool unopenable;
    };
    const Row rows[] = {{false, false}, {false, true}, {true, false}, {true, true}};
    ctl.exchange(to_slot(simple(C::e_query), -1));
    int summator = 10;
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.output ? "output" : "input") + (r.unopenable ? ", unopenable" : ", EIO"));
        const std::string mix = "mixer-mix 0 " + std::to_string(++summator);
        ASSERT_THAT(ctl.exchange(to_slot(r.output ? mixer_out(summator) : mixer_in(1, summator), 1)),
                    ElementsAre("slot=1 success"));
        const std::string before = board.ask(mix);
        ASSERT_NE(before, "ok");
        const unsigned long end = r.output ? MIX_RX_CLEAR : MIX_RX_REMOVE;
        const std::string fault = r.unopenable ? "open 2 always" : std::to_string(end) + " 5";
        ASSERT_EQ(board.ask("fail /dev/mixer " + fault), "ok");
        EXPECT_THAT(ctl.exchange(to_slot(simple(C::e_destroy), 1)), Contains("slot=1 success"));
        EXPECT_EQ(board.ask(mix), before);
        if (r.unopenable) {
            ASSERT_EQ(board.ask("fail /dev/mixer open 0"), "ok");
        }
        EXPECT_TRUE(eventually([&] { return board.ask(mix) == "ok"; }, 3000)) << board.ask(mix);
    }
    EXPECT_THAT(server.err(), HasSubstr("mixer [0]: MIX_RX_CLEAR dev_no=0 type=0 number=13 fail : Input/output error"));
    EXPECT_THAT(server.err(), HasSubstr("mixer: device back after "));
}

// An input whose summator add the mixer refused (EIO or ENODEV, once or
// for a while) is not made: the create answers an error and leaves no
// slot and no entry.
TEST_F(MediaFlow, AMixerInputTheMixRefusedIsNotMade)
{
    const std::string add = "fail /dev/mixer " + std::to_string(Device::Mixer::MIX_RX_ADD);
    ctl.exchange(to_slot(simple(C::e_query), -1));
    for (const char* fault : {" 5", " 19", " 5 always"}) {
        SCOPED_TRACE(fault);
        ASSERT_EQ(board.ask(add + fault), "ok");
        EXPECT_THAT(ctl.exchange(to_slot(mixer_in(1, 3), 1)), ElementsAre("slot=1 error insufficientResources"));
        EXPECT_EQ(board.ask("mixer-mix 0 3"), "ok");
        EXPECT_THAT(ctl.exchange(to_slot(simple(C::e_destroy), 1)), ElementsAre(HasSubstr("slotNotExists")));
        ASSERT_EQ(board.ask(add + " 0"), "ok");
    }
    EXPECT_THAT(ctl.exchange(to_slot(mixer_in(1, 3), 1)), ElementsAre("slot=1 success"));
    EXPECT_EQ(board.ask("mixer-mix 0 3"), "ok 1:32767");
}

// A time slot carries one source: a second input of a channel that a live
// input holds is refused, and the first keeps its source, also past the
// refused slot's destroy; an output of that channel shares it.
TEST_F(MediaFlow, ASecondMixerInputOfAHeldChannelIsRefused)
{
    ctl.exchange(to_slot(simple(C::e_query), -1));
    LGCP::Command in;
    in.get_create().get_mixerIn().set_unit(0);
    in.get_create().get_mixerIn().set_channel(tdm(5));
    ASSERT_THAT(ctl.exchange(to_slot(create_trunk(1, 1), 100)), Contains("slot=100 success"));
    ASSERT_THAT(ctl.exchange(to_slot(in, 110)), ElementsAre("slot=110 success"));
    ASSERT_THAT(ctl.exchange(to_slot(simple(C::e_connect, 110), 100)), Contains("slot=100 success"));
    ASSERT_EQ(board.ask("switch 4101"), "ok connected 33");

    EXPECT_THAT(ctl.exchange(to_slot(in, 111)), ElementsAre("slot=111 error insufficientResources"));
    EXPECT_THAT(ctl.exchange(to_slot(simple(C::e_destroy), 111)), ElementsAre(HasSubstr("slotNotExists")));
    EXPECT_EQ(board.ask("switch 4101"), "ok connected 33");
    EXPECT_THAT(ctl.exchange(to_slot(mixer_out(5), 112)), ElementsAre("slot=112 success"));
    EXPECT_EQ(board.ask("switch 4101"), "ok connected 33");
}

TEST_F(MediaFlow, NetworkPlayerPlaysThePeersStreamAsRtp)
{
    TcpListener peer;
    Remote remote;
    rtp(1, remote);
    LGCP::Command play;
    play.get_create().get_voice().get_player().get_network().set_host(loopback_host(peer.port));
    play.get_create().get_voice().get_player().get_network().set_id(258);
    EXPECT_THAT(ctl.exchange(to_slot(play, 2)), ElementsAre("slot=2 success"));
    ctl.send(to_slot(simple(C::e_connect, 1), 2));
    Fd conn = peer.accept();
    ASSERT_TRUE(conn);
    char id[4] = {};
    ASSERT_EQ(::recv(conn.get(), id, 4, MSG_WAITALL), 4);
    EXPECT_EQ(std::string(id, 4), std::string("\x00\x00\x01\x02", 4));
    EXPECT_THAT(until("startPlaying"), Contains("slot=2 ioctl startPlaying : NULL"));
    std::string stream(4000, '\0');
    for (size_t i = 0; i < stream.size(); ++i)
        stream[i] = static_cast<char>(i * 13);
    ASSERT_EQ(::send(conn.get(), stream.data(), stream.size(), 0), ssize_t(stream.size()));
    conn.close();
    EXPECT_EQ(payloads(remote.rtp, stream.size()), stream);
    Texts end = until("slot=2 abort 0");
    EXPECT_THAT(end, Contains("slot=2 transmitter inactive : NULL"));
}

TEST_F(MediaFlow, RecorderTakesAnRtpSlotsPayloadToItsPeer)
{
    TcpListener peer;
    Remote remote;
    uint16_t local = rtp(1, remote);
    LGCP::Command rec;
    rec.get_create().get_voice().set_record(loopback_host(peer.port));
    EXPECT_THAT(ctl.exchange(to_slot(rec, 2)), ElementsAre("slot=2 success", HasSubstr("slot=2 receiver active : ")));
    EXPECT_THAT(ctl.exchange(to_slot(simple(C::e_connect, 2), 1)), Contains("slot=1 success"));
    Fd conn = peer.accept();
    ASSERT_TRUE(conn);
    std::string sent;
    for (uint16_t i = 0; i < 10; ++i) {
        std::string payload(160, static_cast<char>('0' + i));
        remote.rtp.send(local, rtp_packet(8, i, 160u * i, 0x0B0B0B0B, payload));
        sent += payload;
    }
    std::string got(sent.size(), '\0');
    ASSERT_EQ(::recv(conn.get(), &got[0], got.size(), MSG_WAITALL), ssize_t(got.size()));
    EXPECT_EQ(got, sent);
    conn.close();
    // The stream goes on into a closed connection: the recording ends.
    Texts end;
    ASSERT_TRUE(eventually([&] {
        remote.rtp.send(local, rtp_packet(8, 99, 0, 0x0B0B0B0B, std::string(160, 'x')));
        std::string m = ctl.next(20);
        return m == "slot=2 ioctl stopRecording : connectionAborted";
    }));
}

// Prompt lists that give nothing (an empty file, a fifo with no writer, a
// prompt cut to nothing while it repeats) end once with abort 0, after
// transmitter inactive where the play had started, and leave the loop idle.
TEST_F(MediaFlow, APromptListThatGivesNothingEndsOnceAndTheLoopIdles)
{
    std::ofstream(server.path("/usr/local/voice/empty")).close();
    ASSERT_EQ(::mkfifo(server.path("/usr/local/voice/fifo").c_str(), 0644), 0);
    std::ofstream(server.path("/usr/local/voice/cut")) << std::string(800, 'c');
    int n = 1;
    for (const std::string prompt : {"empty", "fifo", "cut"}) {
        SCOPED_TRACE(prompt);
        const std::string abort = to_string(n + 1) + " abort 0";
        Texts got = play(n, prompt);
        int channel = channel_of(got);
        EXPECT_EQ(channel < 0, prompt == "fifo") << "a fifo is no prompt: the connect fails";
        if (prompt == "cut") {
            ASSERT_TRUE(eventually([&] { return number("mcc-line " + std::to_string(channel)) > 800; }));
            ASSERT_EQ(::truncate(server.path("/usr/local/voice/cut").c_str(), 0), 0);
        }
        if (!std::count(got.begin(), got.end(), abort)) {
            Texts more = until(abort);
            got.insert(got.end(), more.begin(), more.end());
        }
        EXPECT_THAT(got, Contains(abort));
        if (channel >= 0) {
            EXPECT_THAT(got, Contains(to_string(n + 1) + " transmitter inactive : NULL")) << "every end of a play";
        }
        uint64_t passes = number("passes");
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_LT(number("passes") - passes, 50u) << "an idle second";
        EXPECT_THAT(ctl.sync(), testing::Not(Contains(abort))) << "once";
        EXPECT_THAT(server.err(), HasSubstr(channel < 0 ? "prompt \"fifo\" skipped: not a regular file\n"
                                                        : "player[" + std::to_string(channel) + "]: pass "));
        n += 2;
    }
    EXPECT_THAT(server.err(), HasSubstr("]: pass 1 of the prompt list moved no octet: play ended\n"));
}

// A play says it ended only once its last octet left on the line, so a
// controller that destroys the player at its abort 0 cuts nothing: the
// last block of a prompt, and the tail of a network player's stream.
TEST_F(MediaFlow, APlaysLastOctetsLeaveBeforeItsEnd)
{
    int n = 1;
    for (size_t size : {500u, 8692u}) {
        SCOPED_TRACE(size);
        const std::string name = "tail" + std::to_string(size);
        std::ofstream(server.path("/usr/local/voice/" + name)) << std::string(size, 't');
        int channel = channel_of(play(n, name, 1));
        Texts end = until(to_string(n + 1) + " abort 0");
        EXPECT_THAT(end, Contains(to_string(n + 1) + " transmitter inactive : NULL"));
        EXPECT_EQ(number("mcc-line " + std::to_string(channel)), size);
        EXPECT_THAT(ctl.exchange(to_slot(simple(C::e_destroy), n + 1)), Contains(to_string(n + 1) + " success"));
        n += 2;
    }
    TcpListener peer;
    for (size_t size : {300u, 20000u}) {
        SCOPED_TRACE(size);
        ctl.exchange(to_slot(create_trunk(0, n), n));
        LGCP::Command c;
        c.get_create().get_voice().get_player().get_network().set_host(loopback_host(peer.port));
        c.get_create().get_voice().get_player().get_network().set_id(size);
        ctl.exchange(to_slot(c, n + 1));
        int channel = channel_of(ctl.exchange(to_slot(simple(C::e_connect, static_cast<unsigned>(n)), n + 1)));
        Fd conn = peer.accept();
        ASSERT_TRUE(conn);
        char id[4] = {};
        ASSERT_EQ(::recv(conn.get(), id, 4, MSG_WAITALL), 4);
        std::string stream(size, 's');
        ASSERT_EQ(::send(conn.get(), stream.data(), stream.size(), 0), ssize_t(stream.size()));
        conn.close();
        until(to_string(n + 1) + " abort 0");
        EXPECT_EQ(number("mcc-line " + std::to_string(channel)), size);
        n += 2;
    }
}

// A prompt leaves at its channel's rate, 8000 octets a second on a 64 kbit/s
// time slot, and the server idles in between.
TEST_F(MediaFlow, APromptPlaysAtTheChannelsRate)
{
    std::ofstream(server.path("/usr/local/voice/long")) << std::string(1 << 16, 'v');
    const std::string line = "mcc-line " + std::to_string(channel_of(play(1, "long")));
    ASSERT_TRUE(eventually([&] { return number(line) > 0; }));
    uint64_t octets = number(line), passes = number("passes");
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    octets = number(line) - octets;
    EXPECT_NEAR(octets / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 8000, 2000)
        << "a loaded machine may stall the line a little; an unpaced one carries megabytes";
    EXPECT_LT(number("passes") - passes, 200u);
}

} // namespace
