// RTCP SDES and BYE packets (RFC 3550 6.5, 6.6) byte for byte, and their
// bounds for every buffer size; the media device names and record texts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "media/device_paths.h"
#include "media/rtcp.h"

using RTPC::BYE;
using RTPC::SDES;
using Item = RTPC::SDES::Item;

namespace {

const uint32_t kSsrc = 0x01020304;

std::string encode(const RTPC::Msg& m, unsigned size)
{
    std::vector<char> buf(size + 1);
    unsigned n = m.encode(buf.data(), size);
    return std::string(buf.data(), n);
}

std::string bytes(std::initializer_list<int> b)
{
    std::string s;
    for (int c : b)
        s += static_cast<char>(c);
    return s;
}

TEST(Rtcp, ByeWithReason)
{
    EXPECT_EQ(encode(BYE(kSsrc, "session end"), 1024),
              bytes({0x81, 203, 0, 4, 1, 2, 3, 4, 11}) + "session end");
    // No reason, or no room for one: the SSRC alone.
    EXPECT_EQ(encode(BYE(kSsrc), 1024), bytes({0x81, 203, 0, 1, 1, 2, 3, 4}));
    EXPECT_EQ(encode(BYE(kSsrc, "session end"), 11), bytes({0x81, 203, 0, 1, 1, 2, 3, 4}));
    // Cut to the room: 12 bytes leave a length octet and 3 characters.
    EXPECT_EQ(encode(BYE(kSsrc, "session end"), 13), bytes({0x81, 203, 0, 2, 1, 2, 3, 4, 3}) + "ses");
    EXPECT_EQ(encode(BYE(kSsrc), 7), "");
}

TEST(Rtcp, SdesItemsInOrderWithTheNullItem)
{
    SDES m(kSsrc);
    m.add(Item::CNAME, "ab");
    m.add(Item::EMAIL, "x@y");
    // 4 header + 4 SSRC + (2+2) + (2+3) + null = 18, padded to 20.
    EXPECT_EQ(encode(m, 1024), bytes({0x81, 202, 0, 4, 1, 2, 3, 4, 1, 2, 'a', 'b', 3, 3, 'x', '@', 'y', 0, 0, 0}));
    // A chunk of the SSRC alone still ends its item list.
    EXPECT_EQ(encode(SDES(kSsrc), 1024), bytes({0x81, 202, 0, 2, 1, 2, 3, 4, 0, 0, 0, 0}));
    EXPECT_EQ(encode(SDES(kSsrc), 11), "");

    SDES longText(kSsrc);
    longText.add(Item::PHONE, std::string(300, 'p'));
    std::string p = encode(longText, 1024);
    ASSERT_EQ(p.size(), 4u + 4 + 2 + 255 + 3);
    EXPECT_EQ(uint8_t(p[9]), 255);
    EXPECT_EQ(p.substr(10, 255), std::string(255, 'p'));
    EXPECT_EQ(p.substr(265), std::string(3, '\0'));
}

TEST(Rtcp, SdesStopsBeforeTheItemThatDoesNotFit)
{
    // 4 + 4 + (2+6) + (2+1) + null = 20: both items fill 20 bytes exactly.
    SDES exact(kSsrc);
    exact.add(Item::CNAME, "abcdef");
    exact.add(Item::EMAIL, "e");
    EXPECT_EQ(encode(exact, 20), bytes({0x81, 202, 0, 4, 1, 2, 3, 4, 1, 6}) + "abcdef" + bytes({3, 1, 'e', 0}));
    // One byte more in the first: the second needs a further word.
    SDES m(kSsrc);
    m.add(Item::CNAME, "abcdefg");
    m.add(Item::EMAIL, "e");
    EXPECT_EQ(encode(m, 23), bytes({0x81, 202, 0, 4, 1, 2, 3, 4, 1, 7}) + "abcdefg" + bytes({0, 0, 0}));
    EXPECT_EQ(encode(m, 24).substr(17), bytes({3, 1, 'e', 0, 0, 0, 0}));
}

// For every size the packet stays inside the buffer, is whole words long,
// says so in its length word, and (SDES) parses back to a prefix of its items.
TEST(Rtcp, EverySizeStaysInsideItsBuffer)
{
    std::vector<SDES> sdes(4, SDES(kSsrc));
    sdes[1].add(Item::CNAME, "Tolvane Veridane");
    sdes[2].add(Item::CNAME, "c"), sdes[2].add(Item::EMAIL, "ops@example.org"), sdes[2].add(Item::PHONE, "+1 555 0100");
    sdes[3].add(Item::CNAME, std::string(300, 'z')), sdes[3].add(Item::PHONE, "12");
    std::vector<BYE> byes = {BYE(kSsrc), BYE(kSsrc, "x"), BYE(kSsrc, "session end"), BYE(kSsrc, std::string(300, 'r'))};
    const char guard = '\x5A';
    auto check = [&](const RTPC::Msg& m, unsigned size) -> std::string {
        std::vector<char> buf(size + 8, guard);
        unsigned n = m.encode(buf.data(), size);
        EXPECT_EQ(std::string(buf.begin() + size, buf.end()), std::string(8, guard)) << "size " << size;
        EXPECT_LE(n, size);
        EXPECT_EQ(n % 4, 0u);
        if (n == 0 || n > size)
            return std::string();
        unsigned words = uint8_t(buf[2]) << 8 | uint8_t(buf[3]);
        EXPECT_EQ((words + 1) * 4, n) << size;
        return std::string(buf.data(), n);
    };
    for (unsigned size = 0; size <= 80; ++size) {
        for (const SDES& m : sdes) {
            std::string p = check(m, size);
            EXPECT_EQ(p.empty(), size < 12) << size;
            if (p.empty())
                continue;
            size_t at = 8, item = 0;
            for (; at < p.size() && p[at] != 0; ++item) {
                ASSERT_LT(item, m.items.size());
                EXPECT_EQ(uint8_t(p[at]), m.items[item].type);
                size_t len = uint8_t(p[at + 1]);
                EXPECT_EQ(p.substr(at + 2, len), m.items[item].text.substr(0, len));
                at += 2 + len;
            }
            ASSERT_LT(at, p.size()) << "no null item at size " << size;
            EXPECT_EQ(p.find_first_not_of('\0', at), std::string::npos);
        }
        for (const BYE& m : byes)
            EXPECT_EQ(check(m, size).empty(), size < 8) << size;
    }
}

} // namespace
