// A controller talking LGCP to the running server, written as call flows:
// what the controller sends, and what comes back.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "tests/e2e/server_process.h"
#include "tests/e2e/flow_commands.h"
#include "tests/signalling/signalling_commands.h"

using vbtest::Controller;
using vbtest::create_ext;
using vbtest::create_trunk;
using vbtest::lgcp;
using vbtest::lgcp_seq;
using vbtest::ServerProcess;
using vbtest::simple;
using vbtest::Texts;

namespace {

LGCP::Command display()
{
    LGCP::Command c;
    c.get_display().get_snmpTrapReceivers();
    return c;
}

// A message whose slot number is beyond the range the schema gives: 1023
// is coded in two octets after the presence bits, so those octets are
// rewritten.
std::string with_slot_beyond_range(const LGCP::Command& cmd, unsigned slot)
{
    std::string frame = lgcp(cmd, -1, 1023);
    EXPECT_EQ(frame.substr(1, 2), std::string("\x03\xFF", 2));
    frame[1] = char(slot >> 8);
    frame[2] = char(slot & 0xFF);
    return frame;
}

class ControllerFlow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.start()) << server.err();
        ASSERT_TRUE(ctl.connect(server.port()));
    }

    ServerProcess server;
    Controller ctl;
};

} // namespace

TEST_F(ControllerFlow, ANewControllerHearsTheStateOfEveryE1TrunkFirst)
{
    ctl.keep_trunk_status(true);
    for (unsigned trunk = 0; trunk < 4; ++trunk) {
        std::string m = ctl.next();
        EXPECT_EQ(m.rfind("trunkStatus { trunk " + std::to_string(trunk) + ", state normal,", 0), 0u) << m;
    }
}

TEST_F(ControllerFlow, CommandsThatCannotBeServedAreAnsweredWithTheirCause)
{
    LGCP::PDU response;
    response.get_response().set_success();
    const struct {
        std::string frame;
        Texts answers;
    } flow[] = {
        {lgcp(simple(LGCP::Command::e_destroy), 1, 5), {"seq=1 slot=5 error slotNotExists"}},
        {lgcp(simple(LGCP::Command::e_connect, 6), 2, 5), {"seq=2 slot=5 error slotNotExists"}},
        {lgcp(simple(LGCP::Command::e_protoLemz), 3, 2), {"seq=3 slot=2 error unexpectedMsgType"}},
        {lgcp(response, 4), {"seq=4 error unexpectedMsgType"}},
        {lgcp(create_trunk(4, 0), 5, 9), {"seq=5 slot=9 error insufficientResources"}},
        // An undecodable frame and an empty one get no answer; the ping
        // after them is answered.
        {std::string("\x01\x02\x03", 3), {}},
        {"", {}},
        {lgcp(display(), 6), {"seq=6 success"}},
        // Past a bound of the decoder, yet answered.
        {vbtest::trap_receivers(129, 7), {"seq=7 error invalidParams"}},
    };
    for (const auto& step : flow)
        EXPECT_EQ(ctl.exchange(step.frame), step.answers) << vbtest::message_text(step.frame.data(), step.frame.size(), true);
}

// seq is any INTEGER that fits 64 bits, signed: a controller matches every
// answer by it, -1 too, and one that counts in unsigned 32 bits as well.
TEST_F(ControllerFlow, EverySeqValueComesBackInItsAnswer)
{
    for (std::int64_t seq : {std::int64_t(-1), std::int64_t(INT_MIN), std::int64_t(INT_MAX), std::int64_t(1) << 31,
                             std::int64_t(UINT32_MAX), INT64_MAX, INT64_MIN}) {
        const std::string s = "seq=" + std::to_string(seq) + " ";
        EXPECT_EQ(ctl.exchange(lgcp_seq(simple(LGCP::Command::e_ping), seq)), Texts{s + "success"});
        EXPECT_EQ(ctl.exchange(lgcp_seq(simple(LGCP::Command::e_destroy), seq, 5)),
                  Texts{s + "slot=5 error slotNotExists"});
        Texts query = ctl.exchange(lgcp_seq(simple(LGCP::Command::e_query), seq));
        ASSERT_EQ(query.size(), 2u);
        EXPECT_EQ(query[0], s + "success");
        EXPECT_EQ(query[1].rfind("query { boardMajor", 0), 0u) << query[1];
    }
    // 2^63 takes nine octets: not decoded, not answered, reported.
    const std::string longer = std::string("\x80\x09\x00\x80", 4) + std::string(7, '\0') + "\x18";
    EXPECT_EQ(ctl.exchange(longer), Texts{});
    EXPECT_NE(server.err().find("receive fail: decode error!"), std::string::npos) << server.err();
    EXPECT_EQ(ctl.exchange(lgcp_seq(simple(LGCP::Command::e_ping), 9)), Texts{"seq=9 success"});
}

// Aligned PER carries up to 65535 in the two octets of a slot number or a
// connect target: both are invalidSlot. A PDU or command alternative past
// the known ones is a message no service takes, a response a response;
// any other value past its range, or a claim of more extension additions
// than are read, is invalidParams. Each is answered with its seq and
// logged in one line.
TEST_F(ControllerFlow, ValuesAboveTheirRangeAreAnswered)
{
    // ATS-QSIG B slots of the ATS-QSIG slot 5: subslot 3 is its last.
    std::string subslot4 = lgcp(vbtest::ats_qsig_b(5, 3), 12, 1023);
    ASSERT_EQ(subslot4.back(), '\x80');
    subslot4.back() = '\xC0';
    const struct {
        std::string frame;
        Texts answers;
    } flow[] = {
        {std::string("\xC0\x01\x03\x05\xDC\x18", 6), {"seq=3 error invalidSlot"}}, // ping on slot 1500
        {with_slot_beyond_range(create_trunk(0, 5), 1024 + 3), {"error invalidSlot"}},
        // On slot 3, connect 1024 (0 would be slotNotExists).
        {std::string("\xC0\x01\x07\x00\x03\x04\x04\x00", 8), {"seq=7 slot=3 error invalidSlot"}},
        // On slot 40, create ats-qsig-b {slot 5, subslot 4}; then subslot 2
        // with 129 extension additions claimed.
        {std::string("\xC0\x01\x08\x00\x28\x08\x90\x00\x05\xC0", 10), {"seq=8 slot=40 error invalidParams"}},
        {std::string("\xC0\x01\x09\x00\x28\x08\x94\x00\x05\x60\x01\x80", 12),
         {"seq=9 slot=40 error invalidParams"}},
        // On slot 5: a fourth PDU, a sixteenth command; on slot 10 a create
        // of mcc type 3 (of 0..2); a response carrying error cause 13.
        {std::string("\xC0\x01\x04\x00\x05\xC0", 6), {"seq=4 slot=5 error unexpectedMsgType"}},
        {std::string("\xC0\x01\x04\x00\x05\x1E", 6), {"seq=4 slot=5 error unexpectedMsgType"}},
        {std::string("\xC0\x01\x05\x00\x0A\x08\x5E", 7), {"seq=5 slot=10 error invalidParams"}},
        {std::string("\xC0\x01\x06\x00\x05\x6D", 6), {"seq=6 error unexpectedMsgType"}},
        // The highest slot number, past the range only inside: nothing made.
        {lgcp(vbtest::ats_qsig(), 10, 5), {"seq=10 slot=5 success"}},
        {lgcp(vbtest::ats_qsig_b(5, 3), 11, 1022), {"seq=11 slot=1022 success"}},
        {subslot4, {"seq=12 slot=1023 error invalidParams"}},
        {lgcp(simple(LGCP::Command::e_destroy), 13, 1023), {"seq=13 slot=1023 error slotNotExists"}},
        {lgcp(simple(LGCP::Command::e_ping), 14), {"seq=14 success"}},
    };
    for (const auto& step : flow)
        EXPECT_EQ(ctl.exchange(step.frame), step.answers) << vbtest::message_text(step.frame.data(), step.frame.size(), true);
    std::string err = server.err();
    for (const char* line : {"an INTEGER above its range: 4 for (1..3), field subslot\n",
                             "more than 128 extension additions in a SEQUENCE, field ats-qsig-b\n",
                             "a CHOICE index past its alternatives: 3 for (0..2), field pdu\n",
                             "a CHOICE index past its alternatives: 15 for (0..14), field command\n",
                             "an ENUMERATED above its range: 3 for (0..2), field type\n",
                             "an ENUMERATED above its range: 13 for (0..12), field error\n"})
        EXPECT_NE(err.find(std::string("decoder bound: ") + line), std::string::npos) << line << err;
    EXPECT_EQ(err.find("decode error"), std::string::npos) << err;
}

TEST_F(ControllerFlow, ASecondControllerIsRefusedWhileTheFirstKeepsWorking)
{
    Controller second;
    ASSERT_TRUE(second.dial(server.port()));
    EXPECT_TRUE(second.closed());
    EXPECT_EQ(ctl.exchange(lgcp(vbtest::command(true), 1)), Texts{"seq=1 success"});
}

TEST_F(ControllerFlow, TrunkAndExternalSlotsAreConnectedAndTornDown)
{
    const struct {
        std::string frame;
        Texts answers;
    } flow[] = {
        // Slots announce their streams after the create is answered.
        {lgcp(create_trunk(0, 5), 1, 1),
         {"seq=1 slot=1 success", "slot=1 transmitter active : 5", "slot=1 receiver active : 5"}},
        {lgcp(create_ext(10, 20), 2, 2), {"seq=2 slot=2 success", "slot=2 transmitter active : 8202"}},
        // The external slot takes a source only once activated.
        {lgcp(simple(LGCP::Command::e_connect, 2), 3, 1), {"seq=3 slot=1 error connectFail"}},
        {lgcp(simple(LGCP::Command::e_activate), 4, 2), {"slot=2 receiver active : 8212", "seq=4 slot=2 success"}},
        {lgcp(simple(LGCP::Command::e_connect, 2), 5, 1), {"seq=5 slot=1 success"}},
        {lgcp(simple(LGCP::Command::e_disconnect), 6, 2), {"seq=6 slot=2 success"}},
        {lgcp(simple(LGCP::Command::e_connect, 2), 7, 1), {"seq=7 slot=1 success"}},
        {lgcp(simple(LGCP::Command::e_destroy), 8, 2), {"seq=8 slot=2 success"}},
        {lgcp(simple(LGCP::Command::e_destroy), 9, 1), {"seq=9 slot=1 success"}},
        {lgcp(simple(LGCP::Command::e_destroy), 10, 1), {"seq=10 slot=1 error slotNotExists"}},
    };
    for (const auto& step : flow)
        EXPECT_EQ(ctl.exchange(step.frame), step.answers);
}
