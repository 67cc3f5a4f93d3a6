// Voice slots made by the real factory: transparent channels of the
// simulated controller, prompt files in a test tree, TCP peers on the
// loopback, the loop under a virtual clock.
#include <sys/socket.h>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "media/voice_factory.h"
#include "media/voice_slots.h"
#include "runtime/ipc_signal.h"
#include "runtime/paths.h"
#include "tests/server/slots/slot_support.h"
#include "tests/runtime/loop_support.h"
#include "tests/support/media_params.h"

using namespace vbtest;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using C = LGCP::Command;

namespace {

const std::string kAbort = "slot=1 abort 0", kInactive = "slot=1 transmitter inactive";

LGCP::Command play_files(std::vector<std::string> names, int repeat)
{
    LGCP::Command c;
    LGCP::PlayerParams_file& f = c.get_create().get_voice().get_player().get_file();
    for (auto& n : names)
        f.get_name().push_back(ASN1::IA5String(n));
    f.set_repeat(repeat);
    return c;
}

LGCP::Command play_network(int port, int id)
{
    LGCP::Command c;
    c.get_create().get_voice().get_player().get_network().set_host(loopback_host(port));
    c.get_create().get_voice().get_player().get_network().set_id(id);
    return c;
}

LGCP::Command record(int port)
{
    LGCP::Command c;
    c.get_create().get_voice().set_record(loopback_host(port));
    return c;
}

std::string receive_all(int fd, size_t want)
{
    std::string got;
    char buf[65536];
    while (got.size() < want) {
        ssize_t n = ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

// Outlives the slots, which leave its lists when the world ends.
struct VoiceFactoryFirst {
    VoiceFactory factory_;
};

struct VoiceTest : ::testing::Test, VoiceFactoryFirst, SlotWorld {
    TempDir root;
    Paths::ScopedRoot rooted{root.path()};
    int fdsBefore = settled_fd_count();

    VoiceTest()
    {
        IPC::Signal::ignore(SIGPIPE); // as in the server: EPIPE instead
        for (const char* d : {"/usr", "/usr/local", "/usr/local/voice"})
            ::mkdir(root.file(d).c_str(), 0755);
    }
    ~VoiceTest() override { IPC::Signal::system(SIGPIPE); }
    void prompt(const std::string& name, const std::string& bytes)
    {
        std::FILE* f = std::fopen(root.file("usr/local/voice/" + name).c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    VoiceSlot& voice(unsigned n) { return *dynamic_cast<VoiceSlot*>(slots().at(n)); }
    // Slot 1 made by the command, slot 2 a test slot hearing it (or, for a
    // recorder, feeding it); what the controller got for the connect.
    Texts start(const LGCP::Command& make, bool recorder = false)
    {
        EXPECT_THAT(command(make, 1), Contains("slot=1 success"));
        create(2);
        return recorder ? command(simple(C::e_connect, 1), 2) : command(simple(C::e_connect, 2), 1);
    }
    // Everything the slot's channel sent so far.
    std::string played(unsigned n = 1)
    {
        std::string all;
        for (std::string b; !(b = sim.mcc().take(voice(n).timeslot())).empty();)
            all += b;
        return all;
    }
    // The signals of the next loop passes that bring any.
    Texts signals()
    {
        Texts got;
        run_until([&] {
            Texts t = controller();
            got.insert(got.end(), t.begin(), t.end());
            return !got.empty();
        });
        return got;
    }
    // A few loop passes (under the virtual clock no time-out ends a run).
    void spin(int passes = 20)
    {
        int n = 0;
        run_until([&] { return ++n >= passes; });
    }
    static bool pending(const TcpListener& l)
    {
        pollfd p{l.fd.get(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }
    Texts destroy(int n) { return command(simple(C::e_destroy), n); }
    void advance(unsigned ms)
    {
        clock.advance_ms(ms);
        multiplexer.timers_schedule();
    }
};

TEST_F(VoiceTest, ChannelRecordsAndEveryFailingStepLeavesNothing)
{
    using namespace Device::Mcc;
    prompt("a", "x");
    ASSERT_THAT(command(play_files({"a"}, 1), 1), Contains("slot=1 success"));
    ASSERT_THAT(command(record(9), 2), Contains("slot=2 success"));
    auto allocs = sim.board.ioctls(kDevice, MCC_ALLOCATE);
    ASSERT_EQ(allocs.size(), 2u);
    EXPECT_EQ(allocs[0].out, (std::vector<uint32_t>{2, 1024, 0, 0, 5}));
    EXPECT_EQ(allocs[1].out, (std::vector<uint32_t>{2, 1024, 0, 5, 0}));
    EXPECT_EQ(sim.board.log()[0].op, SimBoard::Op::open);
    destroy(1);
    destroy(2);

    sim.board.sweep();
    int fds = settled_fd_count();
    for (auto step : {0ul, MCC_ALLOCATE, MCC_TIMESLOT}) {
        if (step)
            sim.board.fail(kDevice, step, ENOSPC);
        else
            sim.board.fail(kDevice, SimBoard::Op::open, ENODEV);
        EXPECT_THAT(command(record(9), 3), ElementsAre(HasSubstr("insufficientResources")));
        EXPECT_EQ(sim.mcc().allocated(), 0u);
        EXPECT_EQ(settled_fd_count(), fds);
    }
    EXPECT_THAT(err.str(), HasSubstr("voice/mcc[0]: fail to open /dev/mcc/ctl device for reading: No such device"));
    EXPECT_THAT(err.str(), HasSubstr("voice/mcc[0]: MCC_TIMESLOT request failed."));
}

// Three files (one empty) and a missing name, repeat 2: the files twice,
// byte for byte across the copy's buffer size, then the end.
TEST_F(VoiceTest, FilePlayerPlaysTheListRepeatedThenEnds)
{
    std::string all;
    std::vector<std::string> names{"missing"};
    for (size_t size : {0u, 1u, 8191u, 8192u, 8193u}) {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<char>(i * 7 + size);
        names.push_back("p" + std::to_string(size));
        prompt(names.back(), bytes);
        all += bytes;
    }
    sim.mcc().set_rate(SimBoard::MccController::kUnpaced); // the bytes, not their pace
    start(play_files(names, 2));
    EXPECT_THAT(signals(), ElementsAre(kInactive + " : NULL", kAbort));
    EXPECT_EQ(played(), all + all);
}

// A line that stops moving holds a play's last octets no longer than a
// drain: the play then ends as one whose write failed.
// Also one that would repeat: the bound ends the play as a failed write,
// not as a round that went out, so no second round reaches the line.
TEST_F(VoiceTest, APlayOnAStalledLineEndsAtTheFlushBound)
{
    prompt("a", std::string(500, 'a'));
    sim.mcc().set_rate(1);
    for (int repeat : {1, 2}) {
        SCOPED_TRACE(repeat);
        start(play_files({"a"}, repeat));
        const uint64_t from = clock.monotonic_us();
        EXPECT_THAT(signals(), ElementsAre(kInactive + " : NULL", kAbort));
        EXPECT_NEAR(double(clock.monotonic_us() - from), ASync::Copy::kFlushBoundMs * 1000.0, 20000.0);
        advance(3 * ASync::Copy::kFlushBoundMs);
        spin();
        EXPECT_THAT(controller(), IsEmpty()) << "it ends once";
        EXPECT_EQ(played(), std::string(500, 'a'));
        destroy(1);
        destroy(2);
    }
}

TEST_F(VoiceTest, EndlessRepeatAndFilesGoneBetweenRounds)
{
    prompt("a", "A");
    start(play_files({"a"}, 0));
    std::string got;
    ASSERT_TRUE(run_until([&] { return (got += played()).size() >= 5; }));
    EXPECT_EQ(got.substr(0, 5), "AAAAA");
    // Gone between rounds: abort 0, but no release.
    ::unlink(root.file("usr/local/voice/a").c_str());
    EXPECT_THAT(signals(), ElementsAre(kAbort));
}

// An endless list goes on while any prompt of a pass gives octets, and a
// prompt that is no regular file is said once, not at every pass.
TEST_F(VoiceTest, EndlessListsCountEveryPromptAndSaySkipsOnce)
{
    prompt("a", "A");
    prompt("empty", "");
    ASSERT_EQ(::mkfifo(root.file("usr/local/voice/fifo").c_str(), 0644), 0);
    for (const std::vector<std::string>& names : {std::vector<std::string>{"a", "empty"}, {"fifo", "a"}}) {
        SCOPED_TRACE(names[0]);
        err.clear();
        start(play_files(names, 0));
        std::string got;
        ASSERT_TRUE(run_until([&] { return (got += played()).size() >= 5; }));
        EXPECT_THAT(controller(), testing::Not(Contains(kAbort)));
        size_t skips = 0;
        for (size_t at = 0; (at = err.str().find("not a regular file", at)) != std::string::npos; ++at)
            ++skips;
        EXPECT_EQ(skips, names[0] == "fifo" ? 1u : 0u);
        destroy(1);
    }
}

TEST_F(VoiceTest, NothingOpenableFailsTheConnectAndAbortsOnce)
{
    prompt("secret", "S");
    ::mkdir(root.file("usr/local/voice/sub").c_str(), 0755);
    prompt("sub/ok", "K");
    for (const char* name : {"../voice/secret", "/usr/local/voice/secret", "sub/../secret", "none"})
        EXPECT_EQ(PlaySlotFile::prompt_path(name).empty(), std::string(name) != "none") << name;
    EXPECT_EQ(PlaySlotFile::prompt_path("sub/ok"), root.path() + "/usr/local/voice/sub/ok");

    err.clear();
    Texts t = start(play_files({"../voice/secret", "/usr/local/voice/secret", "none"}, 1));
    EXPECT_THAT(t, Contains(HasSubstr("connectFail")));
    // Each refused name once, at the create; a missing file stays quiet.
    auto refused = [&](const std::string& name) {
        return "player[" + std::to_string(voice(1).timeslot()) + "]: prompt \"" + name +
               "\" skipped: prompts are names under " + root.path() +
               "/usr/local/voice/, neither absolute nor with \"..\"\n";
    };
    EXPECT_THAT(err.str(), testing::StartsWith(refused("../voice/secret") + refused("/usr/local/voice/secret") +
                                               "slot 01:player don't have output stream to 02:test\n"));
    spin();
    EXPECT_THAT(controller(), ElementsAre(kAbort));
    spin();
    EXPECT_THAT(controller(), IsEmpty());
    EXPECT_TRUE(played().empty());
}

TEST_F(VoiceTest, NetworkPlayerSendsItsIdThenPlaysThePeersStream)
{
    TcpListener peer;
    // Four different bytes, so any order but the network's shows.
    Texts t = start(play_network(peer.port, 0x11223344));
    EXPECT_THAT(t, Contains("slot=1 transmitter active : " + std::to_string(voice(1).timeslot())));
    Fd conn;
    ASSERT_TRUE(run_until([&] { return pending(peer); }));
    conn = peer.accept();
    ASSERT_TRUE(run_until([&] { return !controller().empty(); })); // startPlaying
    std::string id;
    ASSERT_TRUE(run_until([&] { return (id += receive_all(conn.get(), 4)).size() == 4; }));
    EXPECT_EQ(id, "\x11\x22\x33\x44");

    std::string voiceBytes(5000, '\0');
    for (size_t i = 0; i < voiceBytes.size(); ++i)
        voiceBytes[i] = static_cast<char>(i % 251);
    ASSERT_EQ(::send(conn.get(), voiceBytes.data(), voiceBytes.size(), 0), ssize_t(voiceBytes.size()));
    conn.close();
    EXPECT_THAT(signals(), ElementsAre(kInactive + " : NULL", kAbort));
    EXPECT_EQ(played(), voiceBytes);
    EXPECT_EQ(static_cast<PlaySlotNetwork&>(voice(1)).state(), PlaySlotNetwork::released);
    // A later connect opens nothing and announces the stream again.
    command(simple(C::e_disconnect), 2);
    EXPECT_THAT(command(simple(C::e_connect, 2), 1), Contains("slot=1 transmitter active : " + std::to_string(voice(1).timeslot())));
    spin();
    EXPECT_FALSE(pending(peer));
}

TEST_F(VoiceTest, NetworkPlayerRefusedOrUnansweredAborts)
{
    TcpListener refusing(-1);
    start(play_network(refusing.port, 1));
    EXPECT_THAT(signals(), ElementsAre(kInactive + " : NULL", kAbort));

    TcpListener full(0);
    Fd filler = full.connect();
    EXPECT_THAT(command(play_network(full.port, 1), 3), Contains("slot=3 success"));
    command(simple(C::e_connect, 2), 3);
    advance(4999);
    EXPECT_THAT(controller(), IsEmpty());
    advance(1);
    EXPECT_THAT(controller(), ElementsAre("slot=3 transmitter inactive : NULL", "slot=3 abort 0"));
}

TEST_F(VoiceTest, RecorderCopiesTheChannelToThePeerAndReportsTheEnd)
{
    TcpListener peer;
    EXPECT_THAT(command(record(peer.port), 1),
                ElementsAre("slot=1 success", HasSubstr("slot=1 receiver active : ")));
    create(2);
    command(simple(C::e_connect, 1), 2);
    ASSERT_TRUE(run_until([&] { return pending(peer); }));
    Fd conn = peer.accept();
    int ts = voice(1).timeslot();
    std::string sent;
    for (char c : {'a', 'b', 'c'}) {
        ASSERT_TRUE(sim.mcc().deliver(ts, std::string(160, c)));
        sent += std::string(160, c);
    }
    std::string got;
    ASSERT_TRUE(run_until([&] { return (got += receive_all(conn.get(), sent.size())).size() >= sent.size(); }));
    EXPECT_EQ(got, sent);
    // The channel hangs up: the recording ends as the user asked, and the
    // recorder lets its time slot go, which the driver may give again.
    ASSERT_TRUE(sim.hal().carries(ts, 2));
    sim.mcc().hang_up(ts);
    EXPECT_THAT(signals(), ElementsAre("slot=1 ioctl stopRecording : userRequest"));
    EXPECT_THAT(log.str(), HasSubstr("connection to 127.0.0.1:" + std::to_string(peer.port) + " closed."));
    EXPECT_FALSE(sim.hal().carries(ts, 2));
    EXPECT_THAT(command(simple(C::e_connect, 1), 2), ElementsAre("slot=2 error internal"));
}

TEST_F(VoiceTest, RecorderCausesOfItsEnd)
{
    const std::string stop = "slot=1 ioctl stopRecording : ";
    TcpListener peer, refusing(-1), full(0);
    Fd filler = full.connect();
    // Refused: at once, with no time passing.
    command(record(refusing.port), 1);
    create(2);
    command(simple(C::e_connect, 1), 2);
    uint32_t now = Mux::milliseconds();
    EXPECT_THAT(signals(), ElementsAre(stop + "connectionFail"));
    EXPECT_EQ(Mux::milliseconds(), now);
    destroy(1);
    // No answer: at 5000 ms.
    command(record(full.port), 1);
    command(simple(C::e_connect, 1), 2);
    advance(4999);
    EXPECT_THAT(controller(), IsEmpty());
    advance(1);
    EXPECT_THAT(controller(), ElementsAre(stop + "connectionFail"));
    destroy(1);
    // The peer goes away: aborted.
    command(record(peer.port), 1);
    command(simple(C::e_connect, 1), 2);
    Fd conn;
    ASSERT_TRUE(run_until([&] { return pending(peer); }));
    conn = peer.accept();
    int ts = voice(1).timeslot();
    conn.close();
    Texts end;
    ASSERT_TRUE(run_until([&] {
        sim.mcc().deliver(ts, std::string(160, 'x'));
        Texts more = controller();
        end.insert(end.end(), more.begin(), more.end());
        return !end.empty();
    }));
    EXPECT_THAT(end, ElementsAre(stop + "connectionAborted"));
}

TEST_F(VoiceTest, DestroyDuringACopyAndInsideItsCompletion)
{
    TcpListener peer;
    command(record(peer.port), 1);
    create(2);
    command(simple(C::e_connect, 1), 2);
    Fd conn;
    ASSERT_TRUE(run_until([&] { return pending(peer); }));
    conn = peer.accept();
    ASSERT_TRUE(sim.mcc().deliver(voice(1).timeslot(), "abc"));
    spin();
    destroy(1);
    EXPECT_TRUE(factory_.recorders().empty());

    // A player destroyed mid-file. (Every test here also has the copies
    // and connects deleted from inside their own completion handlers.)
    prompt("big", std::string(1 << 20, 'b'));
    command(play_files({"big"}, 0), 1);
    command(simple(C::e_connect, 2), 1);
    ASSERT_TRUE(run_until([&] { return !played().empty(); }));
    destroy(1);
    EXPECT_TRUE(factory_.players().empty());
    conn.close();
    EXPECT_EQ(sim.mcc().allocated(), 0u);
    EXPECT_EQ(settled_fd_count(), fdsBefore + 1); // the listener
}

} // namespace
