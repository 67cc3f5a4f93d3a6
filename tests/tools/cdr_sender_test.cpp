// The call-detail-record sender: one datagram per destination word, the
// whole record each time, and failures reported after every word was tried.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <string>

#include "tests/runtime/loop_support.h"
#include "tools/cdr_sender.h"

namespace {

struct Collector {
    Fd fd{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    int port = 0;

    Collector()
    {
        sockaddr_in a = vbtest::TcpListener::loopback(0);
        socklen_t n = sizeof(a);
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), n) == 0 &&
            ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &n) == 0)
            port = ntohs(a.sin_port);
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port); }
    // Every datagram waiting, each followed by '|'.
    std::string received()
    {
        std::string all;
        char buf[2048];
        for (ssize_t n; (n = ::recv(fd.get(), buf, sizeof(buf), MSG_DONTWAIT)) >= 0;)
            all.append(buf, static_cast<size_t>(n)) += '|';
        return all;
    }
};

} // namespace

TEST(CdrSender, EveryDestinationWordGetsTheWholeRecordOnce)
{
    Collector a, b;
    CDR_Sender::Sender sender;
    const std::string record("call\0record", 11);
    EXPECT_TRUE(sender.SendTo(record, a.address() + " \t" + b.address() + "\n"));
    EXPECT_EQ(a.received(), record + "|");
    EXPECT_EQ(b.received(), record + "|");
    // An empty list sends nothing and succeeds.
    EXPECT_TRUE(sender.SendTo("record", ""));
    EXPECT_TRUE(sender.SendTo("record", " \n\t "));
    EXPECT_EQ(a.received(), "");
}

TEST(CdrSender, ABadWordFailsTheCallWhileTheOthersAreStillSent)
{
    Collector good;
    CDR_Sender::Sender sender;
    const char* bad[] = {"collector", "127.0.0.1", "127.0.0.1:99999", "127.0.0.1:x", "300.1.1.1:9"};
    for (const char* word : bad) {
        EXPECT_FALSE(sender.SendTo("r", std::string(word) + " " + good.address())) << word;
        EXPECT_EQ(good.received(), "r|") << word;
    }
    // More than a datagram can carry.
    EXPECT_FALSE(sender.SendTo(std::string(70000, 'x'), good.address()));
    EXPECT_EQ(good.received(), "");
}
