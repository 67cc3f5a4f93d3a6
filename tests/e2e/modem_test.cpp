// Modem and T.38 calls through the running server, as call flows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>

#include "tests/e2e/modem_flow.h"

using namespace vbtest;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

TEST_F(ModemFlow, ADialInCallAuthenticatesAccountsAndHangsUp)
{
    start("hup=200");
    EXPECT_THAT(query(), Contains(testing::AllOf(HasSubstr("modem 4,"), HasSubstr("digital-modems 2"),
                                                 HasSubstr("t38-instances 8"))));
    ctl.exchange(to_slot(create_trunk(0, 1), 9));
    ctl.exchange(to_slot(create_modem("555"), 5));
    EXPECT_THAT(ctl.exchange(to_slot(simple(LGCP::Command::e_connect, 9), 5)),
                ElementsAre("slot=5 transmitter active : 3072", "slot=5 receiver active : 3072", "slot=5 success"));
    EXPECT_THAT(run_of("/usr/local/sbin/pppd"), ElementsAre("/usr/local/sbin/pppd", "file", "/usr/local/etc/ppp/aoptions",
                                                            "/dev/mdm0", "remotenumber", "555"));

    authenticate();

    helper({"voacct:0:1:2:3:4:60"});
    EXPECT_EQ(next(), "slot=5 modemProceeding acct : { octetsOut { low 1, high 0 }, octetsIn { low 2, high 0 }, "
                      "packetsOut { low 3, high 0 }, packetsIn { low 4, high 0 }, time { low 60, high 0 }}");

    auto begin = std::chrono::steady_clock::now();
    ctl.send(to_slot(simple(LGCP::Command::e_destroy), 5));
    EXPECT_EQ(next(), "slot=5 success");
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(190));
}

// Connections that each sent one record no slot took, then went idle,
// fill every place; the helper gets in all the same.
TEST_F(ModemFlow, IdleConnectionsWithAJunkRecordKeepNoHelperOut)
{
    start("hup=200");
    ctl.exchange(to_slot(create_trunk(0, 1), 9));
    ctl.exchange(to_slot(create_modem("555"), 5));
    ctl.exchange(to_slot(simple(LGCP::Command::e_connect, 9), 5));
    sockaddr_in auth{};
    auth.sin_family = AF_INET;
    auth.sin_port = htons(52000);
    auth.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<Fd> junk;
    for (uint32_t i = 0; i < 64; ++i) {
        junk.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_EQ(::connect(junk.back().get(), reinterpret_cast<sockaddr*>(&auth), sizeof(auth)), 0);
        const uint32_t record[] = {htonl(12), htonl(0x55), htonl(i % 2 ? 100 + i : 0)};
        ASSERT_EQ(::send(junk.back().get(), record, sizeof(record), MSG_NOSIGNAL), ssize_t(sizeof(record)));
    }
    auto lines = [&](const char* part) {
        std::string err = server.err();
        size_t n = 0;
        for (size_t at = err.find(part); at != std::string::npos; at = err.find(part, at + 1))
            ++n;
        return n;
    };
    ASSERT_TRUE(eventually([&] { return lines("unknown session ") + lines("portslave: 0x55") == junk.size(); }));
    authenticate();
    EXPECT_EQ(lines(" refused: "), 0u);
}

// A destroy answered once the PPP daemon has ended carries its own seq,
// whatever the value and whatever came meanwhile.
TEST_F(ModemFlow, ALateDestroyAnswerCarriesItsOwnSeq)
{
    start("hup=200");
    ctl.exchange(to_slot(create_trunk(0, 1), 9));
    for (std::int64_t seq : {std::int64_t(-1), std::int64_t(INT_MIN), std::int64_t(INT_MAX), std::int64_t(1) << 31,
                             std::int64_t(UINT32_MAX), INT64_MAX, INT64_MIN}) {
        ctl.exchange(to_slot(create_modem("555"), 5));
        ctl.exchange(to_slot(simple(LGCP::Command::e_connect, 9), 5));
        ASSERT_FALSE(run_of("/usr/local/sbin/pppd").empty());
        // In one write: the ping is answered while the daemon still runs.
        std::string both = tpkt(lgcp_seq(simple(LGCP::Command::e_destroy), seq, 5)) +
                           tpkt(lgcp_seq(simple(LGCP::Command::e_ping), 7));
        ASSERT_EQ(::send(ctl.fd(), both.data(), both.size(), MSG_NOSIGNAL), ssize_t(both.size()));
        EXPECT_EQ(next(), "seq=7 success");
        EXPECT_EQ(next(), "seq=" + std::to_string(seq) + " slot=5 success");
    }
}

// The modem stays the slot's for its life: a fax call whose program has
// the modem by its number keeps its descriptor, so the next call gets a
// modem and time slot of its own, and the fax slot's commands touch only
// its own call. The fax receiver of an answered call and the transfer
// program of a call with its arguments alike.
TEST_F(ModemFlow, AFaxCallKeepsItsModemFromTheNextCall)
{
    const struct {
        const char* program;
        bool transfer;
    } rows[] = {{"/usr/local/bin/fax", false}, {"/usr/local/sbin/fax", true}};
    start("hup=200");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.program);
        ctl.exchange(to_slot(create_trunk(1, 10), 51));
        ctl.exchange(to_slot(create_trunk(1, 12), 53));
        LGCP::Command fax = create_modem("");
        fax.get_create().get_modem().include_fax();
        if (row.transfer)
            fax.get_create().get_modem().include_execargs().push_back(ASN1::IA5String("send"));
        ctl.exchange(to_slot(fax, 50));
        EXPECT_THAT(ctl.exchange(to_slot(simple(LGCP::Command::e_connect, 50), 51)),
                    Contains("slot=50 transmitter active : 3072"));
        ctl.exchange(to_slot(simple(LGCP::Command::e_connect, 51), 50));
        ASSERT_THAT(run_of(row.program), testing::Not(testing::IsEmpty()));

        ctl.exchange(to_slot(create_modem(""), 52));
        EXPECT_THAT(ctl.exchange(to_slot(simple(LGCP::Command::e_connect, 52), 53)),
                    Contains("slot=52 transmitter active : 3073"));
        ctl.exchange(to_slot(simple(LGCP::Command::e_connect, 53), 52));
        auto calls = [&] {
            return board.ask("switch 3072") + ", " + board.ask("switch 42") + ", " + board.ask("switch 3073") + ", " +
                   board.ask("switch 44");
        };
        EXPECT_EQ(calls(), "ok connected 42, ok connected 3072, ok connected 44, ok connected 3073");
        EXPECT_THAT(ctl.exchange(to_slot(simple(LGCP::Command::e_disconnect), 50)), ElementsAre("slot=50 success"));
        EXPECT_THAT(calls(), testing::EndsWith("ok connected 44, ok connected 3073"));
        // The transfer's end, hung up by the destroy, reports its pages first.
        ctl.send(to_slot(simple(LGCP::Command::e_destroy), 50));
        if (row.transfer) {
            EXPECT_THAT(next(), testing::StartsWith("slot=50 modemProceeding acct : "));
        }
        EXPECT_EQ(next(), "slot=50 success");
        EXPECT_EQ(ctl.exchange(to_slot(simple(LGCP::Command::e_destroy), 51)), Texts{"slot=51 success"});
        EXPECT_THAT(calls(), testing::EndsWith("ok connected 44, ok connected 3073"));

        // The next row finds every modem free again.
        ctl.send(to_slot(simple(LGCP::Command::e_destroy), 52));
        EXPECT_EQ(next(), "slot=52 success");
        EXPECT_EQ(ctl.exchange(to_slot(simple(LGCP::Command::e_destroy), 53)), Texts{"slot=53 success"});
    }
}

// The board takes a modem back under its call: the slot lets the call go
// at once and says so, and the modem's next call is wholly its new
// slot's: the helper's records reach only that slot, and the stale slot's
// activation sends the helper nothing.
TEST_F(ModemFlow, AModemTheBoardTookBackLeavesItsNextCallAlone)
{
    start("hup=200");
    ctl.exchange(to_slot(create_trunk(1, 10), 51));
    ctl.exchange(to_slot(create_trunk(1, 12), 53));
    ctl.exchange(to_slot(create_modem("555"), 50));
    EXPECT_THAT(ctl.exchange(to_slot(simple(LGCP::Command::e_connect, 51), 50)),
                Contains("slot=50 transmitter active : 3072"));
    ctl.exchange(to_slot(simple(LGCP::Command::e_connect, 50), 51));
    ASSERT_FALSE(run_of("/usr/local/sbin/pppd").empty());

    EXPECT_EQ(board.ask("hangup /dev/mctl"), "ok 1");
    EXPECT_EQ(next(), "slot=50 abort 19");
    EXPECT_EQ(board.ask("switch 3072") + ", " + board.ask("switch 42"), "ok constant d5, ok constant d5");
    // Its daemon is hung up as at a destroy; its end is no news.
    EXPECT_TRUE(eventually([&] { return running().empty(); }, 3000));

    EXPECT_EQ(ctl.exchange(to_slot(create_modem("556"), 52)), Texts{"slot=52 success"});
    EXPECT_THAT(ctl.exchange(to_slot(simple(LGCP::Command::e_connect, 53), 52)),
                Contains("slot=52 transmitter active : 3072"));
    ctl.exchange(to_slot(simple(LGCP::Command::e_connect, 52), 53));
    std::string records = helper({"--expect", "2", "voauth:0:alice:secret"}, [&] {
        EXPECT_EQ(next(), "slot=52 modemProceeding auth : { username \"alice\", password \"secret\"}");
        LGCP::Command a;
        TERM::ModemUserParameters& u = a.get_activate().get_modem();
        u.set_remoteAddr("10.0.0.9"), u.set_netmask("255.255.255.0"), u.set_gateway("10.0.0.1");
        u.set_dns("10.0.0.53"), u.set_mtu(1500);
        EXPECT_THAT(ctl.exchange(to_slot(a, 50)), ElementsAre("slot=50 error internal"));
        u.set_remoteAddr("10.0.0.2");
        EXPECT_THAT(ctl.exchange(to_slot(a, 52)), ElementsAre("slot=52 success"));
    });
    EXPECT_EQ(records, "sent 1\naccept 0 1\nip 0 10.0.0.2 255.255.255.0 10.0.0.1 10.0.0.53 1500\n");
    for (LGCP::Command c : {simple(LGCP::Command::e_disconnect), simple(LGCP::Command::e_connect, 51)})
        EXPECT_THAT(ctl.exchange(to_slot(c, 50)), ElementsAre("slot=50 error internal"));
    EXPECT_THAT(ctl.exchange(to_slot(simple(LGCP::Command::e_destroy), 50)), ElementsAre("slot=50 success"));
    EXPECT_EQ(board.ask("switch 3072") + ", " + board.ask("switch 44"), "ok connected 44, ok connected 3072");
}

TEST_F(ModemFlow, AT38CallReportsItsEngineEnd)
{
    start("", "instances=8,exit=5");
    Texts got = ctl.exchange(to_slot(create_t38(), 7));
    EXPECT_THAT(got, testing::IsSupersetOf({"slot=7 success", "slot=7 transmitter active : 1536", "slot=7 receiver active : 1536"}));
    if (got.size() < 4)
        EXPECT_EQ(next(), "slot=7 abort 1280");
    else
        EXPECT_THAT(got, Contains("slot=7 abort 1280"));
}

// The board takes the channel back under a running engine: the slot hears
// it at once, not at the engine's end, and stops the engine as a destroy
// would; the engine's end is then no news.
TEST_F(ModemFlow, AT38EngineWhoseChannelHangsUpIsStopped)
{
    start("");
    EXPECT_THAT(ctl.exchange(to_slot(create_t38(), 7)), Contains("slot=7 transmitter active : 1536"));
    ASSERT_FALSE(run_of("/usr/local/sbin/t38").empty());
    EXPECT_EQ(board.ask("hangup /dev/mcc/ctl"), "ok 1");
    EXPECT_EQ(next(), "slot=7 abort 19");
    EXPECT_TRUE(eventually([&] { return running().empty(); }, 3000));
    EXPECT_THAT(ctl.exchange(to_slot(create_t38(), 8)), Contains("slot=8 transmitter active : 1536"));
    EXPECT_THAT(ctl.exchange(to_slot(simple(LGCP::Command::e_destroy), 7)), ElementsAre("slot=7 success"));
    EXPECT_THAT(board.ask("mcc-channel 1536"), testing::StartsWith("ok "));
}

TEST_F(ModemFlow, AT38PeerThatIsNoAddressStartsNoEngine)
{
    start("");
    for (const std::string& dhost : {std::string("127.0.0.1\0/9/9", 14), std::string("1.2.3"), std::string("")}) {
        LGCP::Command c = create_t38();
        c.get_create().get_t38soft().get_dhost().set_iaddr(dhost);
        EXPECT_EQ(ctl.exchange(to_slot(c, 7)), Texts{"slot=7 error invalidParams"});
    }
    EXPECT_THAT(ctl.exchange(to_slot(create_t38(), 7)), Contains("slot=7 success"));
    EXPECT_THAT(run_of("/usr/local/sbin/t38"),
                ElementsAre("/usr/local/sbin/t38", "--child", "--remote", "127.0.0.1/4000/5000"));
}

TEST_F(ModemFlow, ChildrenDestroyedRightAfterTheirStartLeaveNothing)
{
    start("");
    // Each create and its destroy in one write: the destroy's signal meets
    // the child between its fork and its exec.
    std::set<std::string> channels;
    int made = 0;
    for (int i = 0; i < 100; ++i) {
        std::string pair = tpkt(to_slot(create_t38(), 7)) + tpkt(to_slot(simple(LGCP::Command::e_destroy), 7));
        ASSERT_EQ(::send(ctl.fd(), pair.data(), pair.size(), MSG_NOSIGNAL), ssize_t(pair.size()));
        for (const std::string& m : ctl.sync()) {
            if (m.compare(0, 28, "slot=7 transmitter active : ") == 0)
                channels.insert(m.substr(28)), ++made;
        }
    }
    EXPECT_GT(made, 0);
    // Each engine ended on its SIGTERM: none had to be killed.
    EXPECT_TRUE(eventually([&] { return running().empty(); }, 3000)) << running().size() << " engines still run";
    EXPECT_THAT(server.err(), testing::Not(HasSubstr("ignored SIGTERM")));
    // Engines that ended before they noted their start may still be
    // closing their channel.
    auto freed = [&] {
        for (const std::string& ts : channels)
            if (board.ask("mcc-channel " + ts).find("no channel") == std::string::npos)
                return false;
        return true;
    };
    EXPECT_TRUE(eventually(freed, 3000));
    EXPECT_THAT(ctl.exchange(to_slot(create_t38(), 7)), Contains("slot=7 success"));
    ctl.exchange(to_slot(simple(LGCP::Command::e_destroy), 7));

    // The PPP daemon and the fax receiver, hung up as soon as they start:
    // each destroy is answered once the child ended on its hang-up.
    ctl.exchange(to_slot(create_trunk(0, 1), 9));
    for (int i = 0; i < 20; ++i) {
        LGCP::Command modem = create_modem("");
        if (i % 2)
            modem.get_create().get_modem().include_fax();
        std::string all = tpkt(to_slot(modem, 5)) + tpkt(to_slot(simple(LGCP::Command::e_connect, 9), 5)) +
                          tpkt(to_slot(simple(LGCP::Command::e_destroy), 5));
        ASSERT_EQ(::send(ctl.fd(), all.data(), all.size(), MSG_NOSIGNAL), ssize_t(all.size()));
        // Created, connected, destroyed.
        int answers = 0;
        for (std::string m = "-"; answers < 3 && !m.empty();) {
            m = next();
            answers += m == "slot=5 success";
        }
        ASSERT_EQ(answers, 3) << i;
    }
    EXPECT_THAT(server.err(), testing::Not(HasSubstr("pppd terminate timeout!")));
    EXPECT_TRUE(eventually([&] { return running().empty(); }, 3000)) << running().size() << " still run";
}

} // namespace
