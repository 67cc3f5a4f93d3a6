// Radio commands naming an address that does not parse, through the
// running server: the controller holds the radio for a session elsewhere,
// the test's voice side is a stranger whose voice the source filter keeps
// from the line, and every refused command, every codec restart, and the
// loss of the extension session (which no empty extension causes) leaves
// it kept out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "board/rtp_ext_requests.h"
#include "tests/e2e/board_port.h"
#include "tests/e2e/flow_commands.h"
#include "tests/e2e/server_process.h"
#include "tests/radio/address_forms.h"
#include "tests/radio/ed137_messages.h"
#include "tests/support/rtp_peer.h"

using namespace vbtest;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

// One radio protocol as the flow drives it.
struct Radio {
    uint16_t profile;
    TERM::RadioStatus status;
    // The radio keyed (or not) for the session at holder.
    std::function<TERM::RadioModifier(bool ptt, const std::string& holder)> hold;
    // The n-th signalling packet of the voice side, which the server reports.
    std::function<std::string(int n)> signalling;
};

Radio ed137()
{
    return {0x0167, vbradio::ed137_status(),
            [](bool ptt, const std::string& holder) {
                auto type = ptt ? TERM::ED137RadioPTT::normal_ptt_on : TERM::ED137RadioPTT::ptt_off;
                return vbradio::ed137_modifier(true, {type}, holder);
            },
            // A TX header whose PTT-id changes, so that none is a repetition.
            [](int n) { return std::string{char(0x20 | (n & 63) >> 2), char((n & 3) << 6), 0, 0}; }};
}

Radio lemz()
{
    TERM::RadioStatus status;
    status.get_lemz().get_freq().set_frequency("0.0");
    return {0x1337, status,
            [](bool ptt, const std::string& holder) {
                TERM::RadioModifier m;
                TERM::LemzRadioModifier& l = m.get_lemz();
                l.get_addr().set_session_addr(holder);
                TERM::RadioCommandWMTrans& t = l.get_params().get_wm_trans();
                t.get_flags().set_ptt(ptt);
                t.get_flags().set_prio(5);
                t.set_ip(holder);
                return m;
            },
            // GW_FLAG_PTT of priority 3 with PTT: above the holder's 5.
            [](int) { return std::string("\x03\x34\x00\x00", 4); }};
}

// The server on the test's own network: its slots, made again and again on
// the one local port, find it free each time.
class RadioAddresses : public ::testing::Test, public OwnNetwork {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.start()) << server.err();
        ASSERT_TRUE(ctl.connect(server.port()));
        ASSERT_TRUE(board.connect(server.pid()));
    }

    void create(const Radio& r)
    {
        LGCP::Command c = create_rtp(voice.port());
        TERM::RtpParams& p = c.get_create().get_rtp().get_codecRTP();
        p.include_shost().set_iaddr("127.0.0.1");
        p.include_shost().set_port(local);
        p.include_radio().set_status(r.status);
        Texts created = ctl.exchange(to_slot(c, 1));
        ASSERT_EQ(created.size(), 3u);
        ASSERT_EQ(created[0], "slot=1 success");
        channel = created[1].substr(created[1].rfind(": ") + 2);
    }
    // The answer to an rtpExt command, without the signals that came meanwhile.
    Texts command(const TERM::RadioModifier& m)
    {
        LGCP::Command c;
        c.get_ioctl().set_rtpExt(m);
        Texts answers;
        for (const std::string& t : ctl.exchange(to_slot(c, 1)))
            if (t.find("slot=1 success") == 0 || t.find("slot=1 error") == 0)
                answers.push_back(t);
        return answers;
    }
    // Voice payloads the RTP session gave to the line so far.
    long on_the_line()
    {
        std::string session = board.ask("rtp-session " + channel);
        size_t at = session.find("received=");
        return at == std::string::npos ? -1 : std::stol(session.substr(at + 9));
    }
    void five_voice_packets(const UdpPeer& from)
    {
        for (int i = 0; i < 5; ++i, ++sequence)
            from.send(local, rtp_packet(8, sequence, 160u * sequence, 0x0BADF00D, std::string(160, 'v')));
    }
    // Five voice packets from the voice side, then its signalling: once that
    // is reported the voice before it was taken or refused. How many of the
    // five reached the line.
    long voice_through(const Radio& r)
    {
        long before = on_the_line();
        five_voice_packets(voice);
        voice.send(local, rtp_with_extension(r.profile, r.signalling(sequence)));
        for (std::string t = ctl.next(3000); t.find("rtpExt") == std::string::npos; t = ctl.next(3000))
            if (t.empty())
                return -1;
        return on_the_line() - before;
    }
    void refusals_keep_the_stranger_out(const Radio& r)
    {
        create(r);
        EXPECT_THAT(command(r.hold(true, "10.0.0.9")), ElementsAre("slot=1 success"));
        EXPECT_EQ(voice_through(r), 0);
        for (const std::string& form : vbradio::unparsable_addresses())
            for (bool ptt : {true, false})
                EXPECT_THAT(command(r.hold(ptt, form)), ElementsAre("slot=1 error invalidParams")) << form;
        EXPECT_EQ(voice_through(r), 0) << "the holder's filter stays";
        EXPECT_THAT(server.err(), HasSubstr("\"10.0.0.09\" is no IPv4 address, command refused"));
        // The voice side holding it, the same voice gets through.
        EXPECT_THAT(command(r.hold(true, "127.0.0.1")), ElementsAre("slot=1 success"));
        EXPECT_EQ(voice_through(r), 5);
    }

    // A change of the sending codec restarts the sessions (the voice side
    // keeps its payload type); the new extension session keeps
    // the holder's filter, and lets go of it when the radio is released.
    void restarts_keep_the_stranger_out(const Radio& r)
    {
        create(r);
        EXPECT_THAT(command(r.hold(true, "10.0.0.9")), ElementsAre("slot=1 success"));
        for (auto mode : {LGCP::CodecMode::ulaw, LGCP::CodecMode::alaw}) {
            LGCP::Command c;
            c.get_ioctl().set_encoder_mode(mode);
            EXPECT_THAT(ctl.exchange(to_slot(c, 1)), ElementsAre("slot=1 success"));
            EXPECT_EQ(voice_through(r), 0) << mode;
        }
        EXPECT_THAT(command(r.hold(false, "10.0.0.9")), ElementsAre("slot=1 success"));
        EXPECT_EQ(voice_through(r), 5);
    }

    // Of five voice packets from a sender, how many reached the line.
    long voice_of(const UdpPeer& from)
    {
        long before = on_the_line();
        five_voice_packets(from);
        board.ask("passes"); // a pass after the one that read them
        return on_the_line() - before;
    }

    ServerProcess server;
    Controller ctl;
    BoardPort board;
    UdpPeer voice;
    UdpPeer stranger{0, "127.0.0.6"};
    uint16_t local = free_rtp_port();
    std::string channel;
    uint16_t sequence = 1;
};

TEST_F(RadioAddresses, ED137RefusalsKeepTheStrangerOut)
{
    refusals_keep_the_stranger_out(ed137());
}

TEST_F(RadioAddresses, LemzRefusalsKeepTheStrangerOut)
{
    refusals_keep_the_stranger_out(lemz());
}

TEST_F(RadioAddresses, ED137CodecRestartsKeepTheStrangerOut)
{
    restarts_keep_the_stranger_out(ed137());
}

TEST_F(RadioAddresses, LemzCodecRestartsKeepTheStrangerOut)
{
    restarts_keep_the_stranger_out(lemz());
}

// A stranger's empty header extension ends nothing (the radio takes
// commands, its status packets go on), and however the extension session
// is lost then, the radio's holder keeps the line until the controller
// releases the radio (answered internal: the radio hears nothing, but the
// release is taken) or keys it again.
TEST_F(RadioAddresses, AStrangerNeitherEndsTheSessionNorTakesTheLineOnceItIsLost)
{
    for (const Radio& r : {ed137(), lemz()})
        for (std::string loss : {"hangup /dev/rtp_ext", "fail /dev/rtp_ext read 5 always"}) {
            create(r);
            stranger.send(local, rtp_with_extension(r.profile, ""));
            EXPECT_THAT(command(r.hold(true, "127.0.0.1")), ElementsAre("slot=1 success"));
            while (voice.ready())
                voice.take();
            pollfd next{voice.s.get(), POLLIN, 0};
            EXPECT_EQ(::poll(&next, 1, 2500), 1);
            EXPECT_EQ(word_at(voice.take(), 12) >> 16, r.profile);
            EXPECT_EQ(voice_of(voice), 5);
            EXPECT_EQ(voice_of(stranger), 0);
            board.ask(loss);
            voice.send(local, rtp_with_extension(r.profile, r.signalling(sequence))); // read, if at all, in vain
            std::string abort;
            while ((abort = ctl.next(3000)) == "slot=1 abort 151") {
            }
            EXPECT_EQ(abort, loss[0] == 'h' ? "slot=1 abort 19" : "slot=1 abort 5");
            for (bool ptt : {true, false, true}) {
                EXPECT_EQ(voice_of(voice), 5) << loss;
                EXPECT_EQ(voice_of(stranger), ptt ? 0 : 5) << loss;
                EXPECT_THAT(command(r.hold(!ptt, "127.0.0.1")), ElementsAre("slot=1 error internal"));
            }
            board.ask("fail /dev/rtp_ext read 0");
        }
}

} // namespace

namespace {

using namespace Device::RtpExt;

// The PTT owner's filter is a wish kept until the board carries it, made
// with no command: the owner is the voice side at 127.0.0.5, the stranger
// the one at 127.0.0.6, and the radio is keyed for the owner.
class RadioFilter : public RadioAddresses {
protected:
    // A new slot 1, once the old one's signals are all taken.
    void fresh(const Radio& r)
    {
        if (!channel.empty())
            ctl.exchange(to_slot(simple(LGCP::Command::e_destroy), 1));
        while (!ctl.next(100).empty()) {
        }
        EXPECT_EQ(board.ask("record on"), "ok");
        create(r);
        setsBefore = requests(RTP_EXT_SET_FILTER);
    }
    // The last request of this number was taken: its log entry ends "=result".
    bool last_taken(unsigned long number)
    {
        std::string log = board.ask("log /dev/rtp_ext " + std::to_string(number));
        size_t mark = log.find_last_of("=!");
        return mark != std::string::npos && log[mark] == '=';
    }
    // Filters set (or refused) since the slot was made.
    long sets() { return requests(RTP_EXT_SET_FILTER) - setsBefore; }
    void keyed(const Radio& r)
    {
        fresh(r);
        EXPECT_THAT(command(r.hold(true, "127.0.0.5")), ElementsAre("slot=1 success"));
    }
    // The radio's own extension session hangs up: its abort.
    void lose()
    {
        EXPECT_NE(board.ask("hangup /dev/rtp_ext"), "ok 0");
        std::string abort;
        while ((abort = ctl.next(3000)) == "slot=1 abort 151") {
        }
        EXPECT_EQ(abort, "slot=1 abort 19");
    }
    Texts codec(LGCP::CodecMode::NamedNumber mode)
    {
        LGCP::Command c;
        c.get_ioctl().set_encoder_mode(mode);
        Texts answers;
        for (const std::string& t : ctl.exchange(to_slot(c, 1)))
            if (t != "slot=1 abort 151")
                answers.push_back(t);
        return answers;
    }
    // With no command, asking the board every 20 ms until cond holds: the
    // holder's retry comes within a second.
    static bool soon(const std::function<bool()>& cond)
    {
        return eventually([&] { return cond() || (std::this_thread::sleep_for(std::chrono::milliseconds(20)), false); },
                          5000);
    }
    std::string fail(unsigned long number, const std::string& how)
    {
        return board.ask("fail /dev/rtp_ext " + std::to_string(number) + " " + how);
    }
    // The board refuses `number` as `how`, and `hold` meets that refusal.
    void refuse(unsigned long number, const std::string& how, const TERM::RadioModifier& hold)
    {
        EXPECT_EQ(fail(number, how), "ok");
        EXPECT_THAT(command(hold), ElementsAre("slot=1 error internal"));
    }
    // Each extension session is its descriptor and the loop's copy of it.
    long sessions()
    {
        std::string n = board.ask("descriptors /dev/rtp_ext");
        return n.compare(0, 3, "ok ") ? -1 : std::stol(n.substr(3)) / 2;
    }

    // How many requests of this number the extension sessions were asked.
    long requests(unsigned long number)
    {
        std::string log = board.ask("log /dev/rtp_ext " + std::to_string(number));
        return log.compare(0, 3, "ok ") ? -1 : std::stol(log.substr(3));
    }

    UdpPeer owner{0, "127.0.0.5"};
    long setsBefore = 0;
};

// A refused set filter: the command answers internal, and the filter is on
// the board a second later; a refused reset likewise admits everybody.
TEST_F(RadioFilter, ARefusedFilterAnswersInternalAndIsMadeWithNoCommand)
{
    for (const Radio& r : {ed137(), lemz()}) {
        fresh(r);
        refuse(RTP_EXT_SET_FILTER, "5", r.hold(true, "127.0.0.5"));
        EXPECT_TRUE(soon([&] { return sets() == 2; })) << "refused, then made";
        EXPECT_EQ(voice_of(stranger), 0) << r.profile;
        EXPECT_EQ(voice_of(owner), 5);
        EXPECT_THAT(command(r.hold(true, "127.0.0.5")), ElementsAre("slot=1 success")) << "the same, carried";
        long resets = requests(RTP_EXT_RESET_FILTER);
        refuse(RTP_EXT_RESET_FILTER, "5", r.hold(false, "127.0.0.5"));
        EXPECT_TRUE(soon([&] { return requests(RTP_EXT_RESET_FILTER) - resets == 2; }));
        EXPECT_EQ(voice_of(stranger), 5) << r.profile;
        EXPECT_EQ(sets(), 2) << "made once";
    }
}

// Only a refusal as invalid gives the filter up, and only for the owner
// refused: a new owner refused for a moment, or one refused for seconds,
// is on the board within a second of the board taking it again.
TEST_F(RadioFilter, OnlyAnInvalidFilterIsGivenUpAndOnlyForItsOwner)
{
    for (const Radio& r : {ed137(), lemz()}) {
        fresh(r);
        refuse(RTP_EXT_SET_FILTER, "22 always", r.hold(true, "127.0.0.5"));
        EXPECT_TRUE(soon([&] { return sets() == 2; })) << "the retry meets it too, and gives up";
        refuse(RTP_EXT_SET_FILTER, "5", r.hold(true, "127.0.0.6"));
        EXPECT_TRUE(soon([&] { return sets() == 4; })) << r.profile;
        EXPECT_EQ(voice_of(owner), 0) << r.profile;
        EXPECT_EQ(voice_of(stranger), 5);

        fresh(r);
        refuse(RTP_EXT_SET_FILTER, "5 always", r.hold(true, "127.0.0.5"));
        EXPECT_TRUE(soon([&] { return sets() >= 4; })) << "asked each second, for three seconds";
        EXPECT_EQ(voice_of(stranger), 5) << r.profile;
        EXPECT_EQ(fail(RTP_EXT_SET_FILTER, "0"), "ok");
        EXPECT_TRUE(soon([&] { return last_taken(RTP_EXT_SET_FILTER); })) << r.profile;
        EXPECT_EQ(voice_of(stranger), 0) << r.profile;
        EXPECT_EQ(voice_of(owner), 5);
    }
}

// A session lost while the device cannot be opened: once it is back, a
// holding session keeps the stranger out with no command, and one that
// ends is replaced at once.
TEST_F(RadioFilter, AHoldingSessionComesWithTheDeviceAndAfterItsOwnEnd)
{
    for (const Radio& r : {ed137(), lemz()}) {
        keyed(r);
        EXPECT_EQ(board.ask("fail /dev/rtp_ext open 19 always"), "ok");
        lose();
        EXPECT_EQ(voice_of(stranger), 5) << "no session at all";
        EXPECT_EQ(board.ask("fail /dev/rtp_ext open 0"), "ok");
        EXPECT_TRUE(soon([&] { return sets() == 2; })) << r.profile;
        EXPECT_EQ(voice_of(stranger), 0) << r.profile;
        EXPECT_EQ(voice_of(owner), 5);
        EXPECT_NE(board.ask("hangup /dev/rtp_ext"), "ok 0");
        board.ask("passes"), board.ask("passes"); // the pass that saw the end is over
        EXPECT_EQ(sets(), 3) << "replaced at once";
        EXPECT_EQ(voice_of(stranger), 0) << r.profile;
        EXPECT_EQ(sessions(), 1);
    }
    EXPECT_THAT(server.err(), HasSubstr("holding rtp_ext session lost: hang-up"));
}

// Codec changes under a held radio: one that cannot open its new session
// holds the filter at once; one that brings a lost session back leaves
// one session, which a release opens to everybody; one whose restart
// fails while lost leaves the holding session alone, and the holder may
// change meanwhile.
TEST_F(RadioFilter, CodecChangesAndNewHoldersWhileTheSessionIsLost)
{
    for (const Radio& r : {ed137(), lemz()}) {
        keyed(r);
        EXPECT_EQ(board.ask("fail /dev/rtp_ext open 24"), "ok");
        EXPECT_THAT(codec(LGCP::CodecMode::alaw), ElementsAre("slot=1 abort 24", "slot=1 error internal"));
        EXPECT_EQ(voice_of(stranger), 0) << r.profile;
        EXPECT_EQ(voice_of(owner), 5);
        EXPECT_EQ(sessions(), 1);

        keyed(r);
        lose();
        EXPECT_THAT(codec(LGCP::CodecMode::ulaw), ElementsAre("slot=1 success"));
        EXPECT_THAT(command(r.hold(false, "127.0.0.5")), ElementsAre("slot=1 success"));
        EXPECT_EQ(voice_of(stranger), 5) << r.profile;
        EXPECT_EQ(sessions(), 1);

        keyed(r);
        lose();
        EXPECT_EQ(board.ask("fail /dev/rtp_ext open 24"), "ok");
        EXPECT_THAT(codec(LGCP::CodecMode::alaw), ElementsAre("slot=1 error internal"));
        EXPECT_EQ(voice_of(stranger), 0) << r.profile;
        EXPECT_THAT(command(r.hold(true, "127.0.0.6")), ElementsAre("slot=1 error internal")) << "lost";
        EXPECT_EQ(voice_of(stranger), 5) << r.profile;
        EXPECT_EQ(voice_of(owner), 0);
        EXPECT_EQ(sessions(), 1);
    }
}

} // namespace
