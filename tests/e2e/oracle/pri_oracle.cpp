// libpri judges the PRI signalling slot end to end: the running server's
// PRI user side on slot 1 is joined to an MCC data slot on 2, and the test
// relays slot 2's frames to and from a libpri network side (LIBPRI_PEER, a
// program of its own). A STATUS ENQUIRY sent as userData on slot 1 must
// come back answered (STATUS) on slot 1.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <chrono>

#include "tests/e2e/server_process.h"
#include "tests/signalling/oracle/libpri_peer.h"
#include "tests/signalling/signalling_commands.h"
#include "tests/support/lgcp_frames.h"

using namespace vbtest;

namespace {

// The octets of "slot=2 userData '00 01 7f'H"; "" for any other message.
std::string user_data_of(const std::string& text, unsigned slot)
{
    std::string head = "slot=" + std::to_string(slot) + " userData '";
    if (text.compare(0, head.size(), head) != 0)
        return "";
    return text.substr(head.size(), text.rfind('\'') - head.size());
}

TEST(PriOracle, StatusEnquiryIsAnsweredByLibpri)
{
    ServerProcess server;
    ASSERT_TRUE(server.start()) << server.err();
    Controller ctl(server.port());
    Peer peer("pri-net");
    ASSERT_GT(peer.pid, 0);
    ctl.send(lgcp(pstn_isdn(false, 1, false), -1, 1));
    ctl.send(lgcp(mcc_slot(LGCP::MccType::data), -1, 2));
    ctl.send(lgcp(connect(1), -1, 2));

    bool up = false, asked = false;
    std::string answer;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (answer.empty() && std::chrono::steady_clock::now() < until) {
        std::string t = ctl.next(5);
        std::string frame = user_data_of(t, 2);
        if (!frame.empty()) {
            std::string bytes = octets(frame);
            ::send(peer.socket.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        }
        up = up || t == "slot=1 activated NULL";
        std::string message = user_data_of(t, 1);
        if (message.compare(0, 11, "08 02 80 01") == 0)
            answer = message;
        char buf[1024];
        for (ssize_t n; (n = ::recv(peer.socket.get(), buf, sizeof buf, MSG_DONTWAIT)) > 0;)
            ctl.send(lgcp(user_data(hex(std::string(buf, size_t(n)))), -1, 2));
        if (up && !asked) {
            ctl.send(lgcp(user_data("08 02 00 01 75"), -1, 1));
            asked = true;
        }
        peer.read_lines();
    }
    EXPECT_TRUE(up) << "the data link never came up";
    EXPECT_FALSE(answer.empty()) << "no answer to the enquiry";
    EXPECT_TRUE(peer.saw("rx cr=1 flag=0 type=75")) << "libpri did not hear the enquiry";
}

} // namespace
