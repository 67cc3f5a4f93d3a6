// The authentication link: records cut and joined in any way reach the
// slot of their session, bad sizes end the connection, and the slot's
// activation answers the helper that spoke for its session.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include "tests/media/modem_support.h"
#include "tests/server/control/channel_support.h"

using namespace vbtest;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

// A record as the helper packs it: big-endian words, texts in 64 bytes.
std::string voauth(int32_t session, const std::string& user, const std::string& password, size_t size = 140)
{
    std::string r = attr::make(Auth::voauth, session, {});
    r.resize(size, '\0');
    r[3] = char(size & 0xff), r[2] = char(size >> 8);
    r.replace(12, std::min<size_t>(user.size(), 64), user.substr(0, 64));
    if (size >= 140)
        r.replace(76, std::min<size_t>(password.size(), 64), password.substr(0, 64));
    return r;
}

struct AuthTest : ::testing::Test, ModemWorld {
    Fd helper;

    AuthTest()
    {
        interfaces().remove("hdlc0");
        interfaces().remove("hdlc1");
        modems.IQuery();
        helper = connect_helper();
    }
    // A connection, once the server took it (also in place of another).
    Fd connect_helper()
    {
        Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        EXPECT_EQ(::connect(s.get(), modems.auth_address().sa(), INet4::Addr::size()), 0);
        size_t before = count_of(err.str(), "incoming auth connection from");
        run_real([&] { return count_of(err.str(), "incoming auth connection from") > before; });
        return s;
    }
    void send(const std::string& bytes, const Fd& to)
    {
        ASSERT_EQ(::send(to.get(), bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
    }
    void send(const std::string& bytes) { send(bytes, helper); }
    // Whether the server closed the connection, waiting for it.
    static bool closed_by_server(const Fd& s)
    {
        char c;
        return run_real([&] { return ::recv(s.get(), &c, 1, MSG_DONTWAIT) == 0; });
    }
    // What the helper received within 1 s.
    std::string received(size_t size)
    {
        std::string got;
        run_real([&] {
            char buf[512];
            ssize_t n = ::recv(helper.get(), buf, sizeof(buf), MSG_DONTWAIT);
            n > 0 ? got.append(buf, size_t(n)) : got;
            return got.size() >= size;
        }, 1000);
        return got;
    }
    // The modem's activation; a field not given stays valid.
    static LGCP::Command activation(const char* remote = "10.1.2.3", const char* netmask = "255.255.255.0",
                                    const char* gateway = "10.1.2.1", const char* dns = "10.1.2.53")
    {
        LGCP::Command c;
        TERM::ModemUserParameters& u = c.get_activate().get_modem();
        u.set_remoteAddr(remote);
        u.set_netmask(netmask);
        u.set_gateway(gateway);
        u.set_dns(dns);
        u.set_mtu(1500);
        return c;
    }
    // A DSP modem at slot 2 on modem 0.
    void modem_call()
    {
        command(create_modem(), 2);
        stream(2);
        controller();
    }
};

TEST_F(AuthTest, RecordsCutAnyWayReachTheSlotOfTheirSession)
{
    modem_call();
    std::string two = voauth(0, "alice", "secret") + voauth(0, std::string(64, 'u'), "p");
    const std::string expect[] = {
        "slot=2 modemProceeding auth : { username \"alice\", password \"secret\"}",
        "slot=2 modemProceeding auth : { username \"" + std::string(64, 'u') + "\", password \"p\"}",
    };
    for (size_t cut : {size_t(1), size_t(3), size_t(139), size_t(200), two.size()}) {
        SCOPED_TRACE(cut);
        send(two.substr(0, cut));
        run_real([] { return false; }, 20);
        send(two.substr(cut));
        EXPECT_THAT(await_controller(2), ElementsAre(expect[0], expect[1]));
    }
}

TEST_F(AuthTest, SizesAndSessionsThatFindNoSlot)
{
    modem_call();
    // Each refused record after one taken, so each starts a run of its own.
    const std::string taken = voauth(0, "ok", "pw");
    // Too short to hold a type and session: dropped, the link goes on.
    send(std::string("\0\0\0\x08\0\0\0\x01", 8) + taken);
    // A size within bounds but no record of its type.
    send(voauth(0, "x", "y", 512) + taken);
    send(voauth(7, "bob", "pw"));
    send(attr::make(Auth::accept, 0, {1}) + taken + attr::make(Auth::ip, 0, {}) + taken + attr::make(9, 0, {}));
    run_real([&] { return err.str().find("0x9") != std::string::npos; });
    EXPECT_THAT(err.str(), HasSubstr("auth record too short: 8, dropped."));
    EXPECT_THAT(err.str(), HasSubstr("auth request, invalid size: 512"));
    EXPECT_THAT(err.str(), HasSubstr("receive auth request for unknown session 7"));
    EXPECT_THAT(err.str(), HasSubstr("auth accept, ignored."));
    EXPECT_THAT(err.str(), HasSubstr("auth ip, ignored."));
    EXPECT_THAT(err.str(), HasSubstr("unknown request from portslave: 0x9"));
    EXPECT_EQ(controller().size(), 4u);
    EXPECT_EQ(modems.clients(), 1u);

    // Size words of 3 and 513 end the connection.
    for (uint8_t size : {3, 1}) {
        std::string word("\0\0\0\0", 4);
        word[2] = size == 1 ? 2 : 0, word[3] = char(size);
        send(word);
        EXPECT_TRUE(run_real([&] { return modems.clients() == 0; }));
        helper = connect_helper();
    }
}

// IA5 is seven-bit: a user name or password with any other byte is not
// passed on (the controller would get an invalid IA5String); every
// seven-bit byte is.
TEST_F(AuthTest, ANameOrPasswordOutsideIA5IsRefused)
{
    modem_call();
    send(voauth(0, "jos\xc3\xa9", "pw") + voauth(0, "bob", "\x80") + voauth(0, "\x01~\x7f", "ok"));
    EXPECT_THAT(await_controller(), ElementsAre("slot=2 modemProceeding auth : { username \"\x01~\x7f\", password \"ok\"}"));
    // Both refused records are one run.
    EXPECT_EQ(count_of(err.str(), "auth request, user name or password not IA5, dropped.\n"), 1u);
}

// A helper that repeats refused records writes one line a run, not one a
// record; a record taken ends the run, and each connection has its own.
TEST_F(AuthTest, ARunOfRefusedRecordsIsLoggedAtItsFirst)
{
    modem_call();
    const std::string taken = "slot=2 modemProceeding auth : { username \"good\", password \"pw\"}";
    std::string run;
    for (int i = 0; i < 40; ++i)
        run += voauth(0, "jos\xc3\xa9", "pw") + voauth(0, "x", "y", 100) + attr::make(Auth::voacct, 0, {0}) +
               attr::make(Auth::accept, 0, {1}) + attr::make(Auth::ip, 0, {}) + attr::make(9, 0, {}) +
               std::string("\0\0\0\x08\0\0\0\x01", 8);
    send(run + voauth(0, "good", "pw"));
    EXPECT_THAT(await_controller(), ElementsAre(taken));
    send(attr::make(Auth::voacct, 0, {0}) + voauth(0, "x", "y", 100) + voauth(0, "good", "pw"));
    EXPECT_THAT(await_controller(), ElementsAre(taken));
    EXPECT_EQ(count_of(err.str(), "auth request, user name or password not IA5, dropped.\n"), 1u);
    EXPECT_EQ(count_of(err.str(), "auth accounting, invalid size: 16\n"), 1u);
    for (const char* line : {"auth request, invalid size: 100\n", "auth accept, ignored.\n", "auth ip, ignored.\n",
                             "portslave", "too short"})
        EXPECT_EQ(count_of(err.str(), line), 0u) << line;

    Fd other = connect_helper();
    send(voauth(0, "x", "y", 100), other);
    EXPECT_TRUE(run_real([&] { return count_of(err.str(), "auth request, invalid size: 100\n") == 1; }));
}

TEST_F(AuthTest, AccountingCarriesBothHalvesOfEachCounter)
{
    modem_call();
    send(attr::make(Auth::voacct, 0, {0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0}));
    EXPECT_THAT(await_controller(), ElementsAre("slot=2 modemProceeding acct : { octetsOut { low 2, high 1 }, "
                                                "octetsIn { low 4, high 3 }, packetsOut { low 6, high 5 }, packetsIn { "
                                                "low 8, high 7 }, time { low 9, high 0 }}"));
    send(attr::make(Auth::voacct, 0, {0}));
    run_real([&] { return err.str().find("invalid size") != std::string::npos; });
    EXPECT_THAT(err.str(), HasSubstr("auth accounting, invalid size: 16"));
}

TEST_F(AuthTest, ActivationAnswersTheHelperOfTheSession)
{
    modem_call();
    // The helper spoke for session 0.
    send(voauth(0, "alice", "secret"));
    await_controller();
    EXPECT_THAT(command(activation(), 2), ElementsAre("slot=2 success"));
    EXPECT_EQ(received(52), attr::make(Auth::accept, 0, {1}) +
                                attr::make(Auth::ip, 0, {0, 0x0a010203, 0xffffff00, 0x0a010201, 0x0a010235, 1500}));

    // Not the modem's parameters.
    EXPECT_THAT(command(simple(LGCP::Command::e_activate), 2), ElementsAre("slot=2 error unsupported"));
    EXPECT_THAT(err.str(), HasSubstr("modem's activation requests parameter."));
}

// An address that does not parse would reach the helper as some other
// address (inet_addr's 255.255.255.255): the activation is refused and
// neither record goes.
TEST_F(AuthTest, AnActivationWithATextThatIsNoAddressSendsNothing)
{
    modem_call();
    send(voauth(0, "alice", "secret"));
    await_controller();
    for (const LGCP::Command& c :
         {activation("10.1.2.3", "bogus"), activation("10.1.2"), activation("10.1.2.3", "255.255.255.0", ""),
          activation("10.1.2.3", "255.255.255.0", "10.1.2.1", "10.1.2.53 ")})
        EXPECT_THAT(command(c, 2), ElementsAre("slot=2 error invalidParams"));
    EXPECT_THAT(err.str(), HasSubstr("modem's activation: \"bogus\" is no IPv4 address.\n"));
    EXPECT_THAT(err.str(), HasSubstr("modem's activation: \"\" is no IPv4 address.\n"));
    // The first records the helper gets are those of a valid activation.
    EXPECT_THAT(command(activation("10.9.9.9"), 2), ElementsAre("slot=2 success"));
    EXPECT_EQ(received(52), attr::make(Auth::accept, 0, {1}) +
                                attr::make(Auth::ip, 0, {0, 0x0a090909, 0xffffff00, 0x0a010201, 0x0a010235, 1500}));
}

TEST_F(AuthTest, SessionsMatchOnlyStartedModemsAndHelpersThatSpoke)
{
    // An unstarted DSP modem (slot 2) and a digital modem (slot 3).
    command(create_modem(), 2);
    interfaces().add("hdlc0", Device::NetIf::kPointToPoint);
    modems.IQuery();
    command(create_modem([](TERM::ModemParams& p) {
        p.include_ddm().push_back(TERM::DigitalDataModeEnum(TERM::DigitalDataModeEnum::ddmV110));
    }), 3);
    LGCP::Command c = activation();
    // No helper has spoken for session -1: nothing is sent, success all the same.
    EXPECT_THAT(command(c, 3), ElementsAre("slot=3 success"));
    EXPECT_THAT(log.str(), HasSubstr("send error: unknown auth -1 session."));
    EXPECT_EQ(received(1), "");

    // A record of session -1 is the digital modem's, never the unstarted DSP modem's.
    send(voauth(-1, "a", "b"));
    EXPECT_THAT(await_controller(), ElementsAre("slot=3 modemProceeding auth : { username \"a\", password \"b\"}"));
    EXPECT_THAT(command(c, 3), ElementsAre("slot=3 success"));
    EXPECT_EQ(received(52).size(), 52u);
}

// One loop pass; what the controller received in it. Deferred calls run
// twice a pass, so the third run is the next pass's start.
Texts one_pass(AuthTest& t)
{
    unsigned runs = 0;
    FnDpc count([&] { ++runs == 3 ? multiplexer.terminate() : void(); });
    count.dpc.Activate();
    multiplexer.run(false, true);
    return t.controller();
}

// A helper that writes without pause gets a bounded share of each loop
// pass; records for a session no slot has are logged once until one finds
// its slot again; connections beyond the limit are closed at once, the
// refusal logged once until one is taken again.
TEST_F(AuthTest, AFloodingHelperIsBoundedInWorkLogAndConnections)
{
    modem_call();
    std::string flood;
    for (int i = 0; i < 40; ++i)
        flood += voauth(0, "u" + std::to_string(i), "p");
    send(flood);
    EXPECT_EQ(one_pass(*this).size(), size_t(Auth::kRecordsPerPass));
    EXPECT_EQ(await_controller(40 - Auth::kRecordsPerPass).size(), 40 - Auth::kRecordsPerPass);

    std::string unknown;
    for (int i = 0; i < 50; ++i)
        unknown += voauth(7, "x", "y");
    send(unknown + voauth(0, "back", "p"));
    ASSERT_EQ(await_controller().size(), 1u);
    send(voauth(7, "x", "y") + voauth(7, "x", "y") + voauth(0, "back", "p"));
    ASSERT_EQ(await_controller().size(), 1u);
    EXPECT_EQ(count_of(err.str(), "receive auth request for unknown session 7\n"), 2u);

    // At the limit, with every connection spoken, a newcomer is closed.
    std::vector<Fd> helpers;
    while (modems.clients() < ModemFactory::kMaxAuthClients) {
        helpers.push_back(connect_helper());
        send(voauth(0, "x", "y"), helpers.back());
    }
    ASSERT_EQ(await_controller(helpers.size()).size(), helpers.size());
    auto refused = [&] {
        Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        EXPECT_EQ(::connect(s.get(), modems.auth_address().sa(), INet4::Addr::size()), 0);
        return closed_by_server(s);
    };
    EXPECT_TRUE(refused());
    EXPECT_TRUE(refused());
    EXPECT_EQ(modems.clients(), ModemFactory::kMaxAuthClients);
    EXPECT_EQ(count_of(err.str(), " refused: 64 helper connections open\n"), 1u);
    helpers.pop_back();
    run_real([&] { return modems.clients() < ModemFactory::kMaxAuthClients; });
    helpers.push_back(connect_helper());
    EXPECT_EQ(modems.clients(), ModemFactory::kMaxAuthClients);
}

// Out of descriptors, a helper waiting to be accepted does not keep the
// loop busy: the listener is left alone 100 ms at a time, the failure is
// logged once, and one descriptor back is enough to serve the helper.
TEST_F(AuthTest, OutOfDescriptorsTheListenerPausesInsteadOfSpinning)
{
    // What the loop serves under the shortage is met first (see serve_once):
    // the pause's timer, and the helper's connection on a pass of a second.
    retry_a_socket_once(clock);
    Fd second = connect_helper();
    Fd waiting(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    {
        DescriptorsLeft limit(0);
        ASSERT_EQ(::connect(waiting.get(), modems.auth_address().sa(), INet4::Addr::size()), 0);
        unsigned polls = clock.polls();
        run_real([] { return false; }, 300);
        // A poll every 5 ms from run_real itself, and a few pauses.
        EXPECT_LT(clock.polls() - polls, 150u);
        EXPECT_EQ(count_of(err.str(), "can't accept connection: Too many open files\n"), 1u);
        limit.release(1);
        ASSERT_TRUE(run_real([&] { return modems.clients() == 3; }));
    }
    waiting.close();
    EXPECT_TRUE(run_real([&] { return modems.clients() == 2; })) << "the helper is read";
}

// The helper's port could not be made for want of descriptors: the retry
// makes it, and the helper gets in about 5 s after they are back.
TEST_F(AuthTest, APortNotMadeForWantOfDescriptorsListensOnTheRetry)
{
    retry_a_socket_once(clock);
    std::unique_ptr<ModemFactory> late;
    {
        DescriptorsLeft limit(0);
        late.reset(new ModemFactory("127.0.0.1:0"));
    }
    EXPECT_EQ(count_of(err.str(), "can't create socket:Too many open files\n"), 1u);
    advance(4999);
    EXPECT_EQ(late->auth_address().sin().sin_port, 0) << "nothing listens yet";
    advance(1);
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(s.get(), late->auth_address().sa(), INet4::Addr::size()), 0);
    EXPECT_TRUE(run_real([&] { return late->clients() == 1; }));
}

// Connections that only stay open cannot keep the helper out: at the
// limit a newcomer takes the place of the oldest that has had no record
// taken, and one that spoke keeps its place.
TEST_F(AuthTest, IdleConnectionsCannotKeepTheHelperOut)
{
    modem_call();
    // The fixture's helper is the oldest; half a record is no record.
    std::vector<Fd> idle;
    while (modems.clients() < ModemFactory::kMaxAuthClients)
        idle.push_back(connect_helper());
    send(voauth(0, "half", "p").substr(0, 100), idle.front());

    Fd real = connect_helper();
    EXPECT_TRUE(closed_by_server(helper));
    send(voauth(0, "alice", "secret"), real);
    EXPECT_THAT(await_controller(), ElementsAre("slot=2 modemProceeding auth : { username \"alice\", password \"secret\"}"));

    // As many newcomers as the limit: the one that spoke stays, although
    // it is the oldest when the last comes.
    std::vector<Fd> newcomers;
    while (newcomers.size() < ModemFactory::kMaxAuthClients)
        newcomers.push_back(connect_helper());
    for (const Fd& s : idle)
        EXPECT_TRUE(closed_by_server(s));
    EXPECT_TRUE(closed_by_server(newcomers.front()));
    EXPECT_EQ(modems.clients(), ModemFactory::kMaxAuthClients);
    send(attr::make(Auth::voacct, 0, {0, 0, 0, 0, 1, 0, 2, 0, 3, 0, 4, 60, 0}), real);
    EXPECT_THAT(await_controller(), ElementsAre(HasSubstr("slot=2 modemProceeding acct")));
    EXPECT_EQ(count_of(err.str(), "taken in place of the oldest silent one: 64 helper connections open\n"), 1u);
    EXPECT_THAT(err.str(), testing::Not(HasSubstr(" refused: ")));
}

// Any bytes make a whole record: connections that each sent one that no
// slot took, then went idle, are no helper. They neither keep the helper
// out nor get the records of its session.
TEST_F(AuthTest, RefusedRecordsDoNotMakeAHelper)
{
    modem_call();
    std::vector<Fd> junk;
    junk.push_back(std::move(helper));
    while (junk.size() < ModemFactory::kMaxAuthClients)
        junk.push_back(connect_helper());
    // An unknown type for an unknown session, or for the live session 0.
    for (size_t i = 0; i < junk.size(); ++i)
        send(i % 2 ? attr::make(0x55, int32_t(100 + i), {}) : attr::make(0x55, 0, {}), junk[i]);
    auto lines = [&] { return count_of(err.str(), "unknown session ") + count_of(err.str(), "portslave: 0x55"); };
    ASSERT_TRUE(run_real([&] { return lines() == junk.size(); }));

    helper = connect_helper();
    EXPECT_TRUE(closed_by_server(junk.front()));
    send(voauth(0, "alice", "secret"));
    EXPECT_THAT(await_controller(),
                ElementsAre("slot=2 modemProceeding auth : { username \"alice\", password \"secret\"}"));
    EXPECT_THAT(command(activation(), 2), ElementsAre("slot=2 success"));
    EXPECT_EQ(received(52).size(), 52u);
    EXPECT_THAT(err.str(), testing::Not(HasSubstr(" refused: ")));
}

} // namespace
