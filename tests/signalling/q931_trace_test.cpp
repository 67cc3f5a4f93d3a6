// The D-channel frame decoder of the traces.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "tests/signalling/q931_trace_support.h"

using vbtest::decode;
using vbtest::octets;

namespace {

// An I frame from the network, call reference 1 from the caller, SETUP,
// followed by the given elements.
vbtest::Octets setup_with(std::initializer_list<int> elements)
{
    vbtest::Octets f = octets({0x02, 0x01, 0x00, 0x00, 0x08, 0x01, 0x01, 0x05});
    for (int b : elements)
        f.push_back(static_cast<uint8_t>(b));
    return f;
}

// The text after the frame's first three lines.
std::string elements_of(const vbtest::Octets& f)
{
    std::string text = decode(f);
    size_t at = 0;
    for (int i = 0; i < 3 && at != std::string::npos; ++i)
        at = text.find('\n', at + 1);
    return at == std::string::npos ? text : text.substr(at + 1);
}

TEST(Q931Trace, FrameLevelCases)
{
    struct Case {
        vbtest::Octets frame;
        int direction;
        const char* text;
    };
    const Case cases[] = {
        {octets({0x02, 0xff}), 0, "<untouched>"},
        {octets({0x02, 0xff, 0x03, 0x08, 0x01, 0x05, 0x05}), 0,
         " 02 FF 03 08 01 05 05\nframe user->network broadcast\ncallref 5 caller size 4 message type SETUP\n"},
        {octets({0x02, 0x03, 0x01, 0x05}), 1, " 02 03 01 05\nframe network->user SFrame tei = 1 (01 05 )\n"},
        {octets({0x00, 0x03, 0x7f}), 0, " 00 03 7F\nframe user->network SFrame tei = 1 (7F )\n"},
        {octets({0x00, 0x03, 0x00, 0x00}), 0, " 00 03 00 00\nframe user->network IFrame tei = 1\nframe too short\n"},
        {octets({0xfc, 0xff, 0x03, 0x0f}), 0, " FC FF 03 0F\nframe user->network tei management:\n"},
        {octets({0x04, 0xff, 0x03}), 0, " 04 FF 03\nframe user->network unknown sapi 1 broadcast\n"},
        {octets({0x00, 0xff, 0x13, 0x08}), 0, " 00 FF 13 08\nframe user->network no UI broadcast\n"},
        {octets({0x0c, 0x05, 0x00}), 0, " 0C 05 00\nframe user->network unknown sapi = 3; tei = 2\n"},
        {octets({0x00, 0xff, 0x03}), 0, " 00 FF 03\nframe user->network broadcast\nframe too short\n"},
        {octets({0x00, 0x01, 0x00, 0x00, 0x09, 0x00, 0x05}), 0,
         " 00 01 00 00 09 00 05\nframe user->network IFrame tei = 0\nUnknown protocol 9!"},
        {octets({0x00, 0x01, 0x00, 0x00, 0x08, 0x00, 0x7b}), 0,
         " 00 01 00 00 08 00 7B\nframe user->network IFrame tei = 0\ncallref 0 caller size 3 message type "
         "INFORMATION\n"},
        {octets({0x00, 0x01, 0x00, 0x00, 0x08, 0x02, 0x81, 0x05, 0x45}), 0,
         " 00 01 00 00 08 02 81 05 45\nframe user->network IFrame tei = 0\ncallref 261 called size 5 message type "
         "DISCONNECT\n"},
        {octets({0x00, 0x01, 0x00, 0x00, 0x08, 0x01, 0x85, 0x99}), 0,
         " 00 01 00 00 08 01 85 99\nframe user->network IFrame tei = 0\ncallref 5 called size 4 unknown message type "
         "99!\n"},
        {octets({0x00, 0x01, 0x00, 0x00, 0x08, 0x02, 0x81}), 0,
         " 00 01 00 00 08 02 81\nframe user->network IFrame tei = 0\nframe too short\n"},
        {octets({0x00, 0x01, 0x00, 0x00, 0x08, 0x01, 0x05}), 0,
         " 00 01 00 00 08 01 05\nframe user->network IFrame tei = 0\nframe too short\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(decode(c.frame, c.direction), c.text);
}

TEST(Q931Trace, ElementPrinters)
{
    struct Case {
        std::initializer_list<int> elements;
        const char* text;
    };
    const Case cases[] = {
        {{0x04, 0x08, 0x88, 0x18, 0x81, 0x21, 0x22, 0xa3, 0x43, 0x65},
         "  Bearer capability\n    octet 3  10001000\n    octet 4  00011000\n    octet 4.1 10000001\n"
         "    octet 5  00100001\n    octet 5a 00100010\n    octet 5b 10100011\n    octet 6  01000011\n"
         "    octet 7  01100101\n"},
        {{0x04, 0x03, 0x80, 0x90, 0xa2},
         "  Bearer capability\n    octet 3  10000000\n    octet 4  10010000\n    octet 5  10100010\n"},
        {{0x08, 0x07, 0x00, 0x80, 0x90, 0x01, 0x02, 0x03, 0x84},
         "  Cause\n    coding 00 location 0000\n  cause value 10 : Normal call clearing \n"
         "    diag attribute 1  rej 2  av 3\n    diag attribute 3  rej 4 \n"},
        {{0x08, 0x02, 0xe2, 0xfe}, "  Cause\n    coding 11 location 0010\nUnknown cause type 7e!\n"},
        {{0x6c, 0x05, 0x01, 0x80, 0x33, 0x34, 0x35},
         "  Calling party number\n    octet 3 00000001\n    octet 3a 10000000\n    number digits 345\n"},
        {{0x6c, 0x03, 0x81, 0x33, 0x34}, "  Calling party number\n    octet 3 10000001\n    number digits 34\n"},
        {{0x70, 0x04, 0x81, 0x31, 0x0a, 0x33},
         "  Called party number\n    octet 3 10000001\n    number digits 1.3\n"},
        {{0x18, 0x01, 0x89}, "  Channel identification\n    octet 3 10001001\n"},
        {{0x1c, 0x05, 0x91, 0xa1, 0x02, 0x05, 0x1e},
         "  Facility\n    octet 3 10010001\n   octet 4 10100001\n   octet 5 2\n   contents  5 1e \n"},
        {{0x28, 0x03, 0x41, 0x0a, 0x42}, "  Display\n   \"A.B\"\n"},
        {{0x1e, 0x02, 0x82, 0x88}, "  Progress indicator\n    octet 3  10000010\n    octet 4  10001000\n"},
        {{0x7e, 0x03, 0x04, 0x01, 0x02},
         "  User-user\n    octet 3  00000100\n    octet 3a 00000001\n    octet 3b 00000010\n"},
        {{0x14, 0x00}, "  Call state\n"},
        {{0x3a, 0x02, 0x01, 0x02, 0x18, 0x01, 0x81},
         "  attribute 3a attribute size 2\n  Channel identification\n    octet 3 10000001\n"},
        {{0xa0, 0xa1, 0xa2, 0x95, 0xb3, 0xd1, 0x80, 0xc0, 0xe0, 0xf7},
         "  More data\n  Sending complete\n  Shift 5\n  Congestion level 3\n  Repeat indicator 1\n"
         "  Reserved 80\n  Reserved c0\n  Reserved e0\n  Reserved f7\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(elements_of(setup_with(c.elements)), c.text);
}

// Whatever claims more octets than the element or the frame holds ends the
// text with "frame too short".
TEST(Q931Trace, ReadsStayInsideTheElementAndTheFrame)
{
    struct Case {
        std::initializer_list<int> elements;
        const char* text;
    };
    const Case cases[] = {
        {{0x70}, "frame too short\n"},
        {{0x70, 0x05, 0x81, 0x31}, "  Called party number\nframe too short\n"},
        {{0x55, 0x09, 0x01}, "  attribute 55 attribute size 9\nframe too short\n"},
        {{0x04, 0x01, 0x88, 0x18, 0x81}, "  Bearer capability\nframe too short\n"},
        {{0x04, 0x02, 0x88, 0x18, 0x81}, "  Bearer capability\n    octet 3  10001000\n    octet 4  00011000\n"
                                         "frame too short\n"},
        {{0x08, 0x02, 0x00, 0x01, 0xa0}, "  Cause\n    coding 00 location 0000\nframe too short\n"},
        {{0x08, 0x01, 0x80, 0x90}, "  Cause\n    coding 00 location 0000\nframe too short\n"},
        {{0x08, 0x03, 0x80, 0x90, 0x05},
         "  Cause\n    coding 00 location 0000\n  cause value 10 : Normal call clearing \n"
         "    diag attribute 5 frame too short\n"},
        {{0x08, 0x04, 0x80, 0x90, 0x05, 0x06},
         "  Cause\n    coding 00 location 0000\n  cause value 10 : Normal call clearing \n"
         "    diag attribute 5  rej 6 frame too short\n"},
        {{0x6c, 0x01, 0x01, 0x33}, "  Calling party number\n    octet 3 00000001\nframe too short\n"},
        {{0x18, 0x00}, "  Channel identification\nframe too short\n"},
        {{0x1c, 0x02, 0x91, 0xa1}, "  Facility\n    octet 3 10010001\n   octet 4 10100001\nframe too short\n"},
        {{0x1c, 0x04, 0x91, 0xa1, 0x05, 0x01},
         "  Facility\n    octet 3 10010001\n   octet 4 10100001\n   octet 5 5\nframe too short\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(elements_of(setup_with(c.elements)), c.text);
}

TEST(Q931Trace, TextIsCutToTheBufferAndAlwaysEnds)
{
    vbtest::Octets f = setup_with({0x28, 0x05, 'h', 'e', 'l', 'l', 'o'});
    for (size_t size : {1u, 2u, 10u, 30u, 31u}) {
        std::string text = decode(f, 0, size);
        EXPECT_EQ(text.size(), size - 1);
        EXPECT_EQ(text, decode(f).substr(0, size - 1));
    }
}

// Random frames, most with a valid head so that the elements are reached;
// the output lives in a buffer followed by a canary.
TEST(Q931Trace, RandomFramesNeverReadOrWriteOutOfBounds)
{
    std::mt19937 rng(20240521);
    const char kCanary[] = "CANARY";
    for (int i = 0; i < 100000; ++i) {
        size_t length = rng() % 64 ? rng() % 48 : rng() % 600;
        vbtest::Octets frame(length);
        for (auto& b : frame)
            b = static_cast<uint8_t>(rng());
        if (length >= 6 && rng() % 4) {
            frame[0] = 0x00;
            frame[1] = 0x01;
            frame[2] = static_cast<uint8_t>(frame[2] & 0xFE);
            frame[4] = 0x08;
            frame[5] = static_cast<uint8_t>(frame[5] & 0x03);
        }
        size_t size = 1 + rng() % 300;
        std::vector<char> out(size + sizeof(kCanary));
        std::memcpy(out.data() + size, kCanary, sizeof(kCanary));
        frame.shrink_to_fit();
        ISDN::dlogframe(frame.data(), static_cast<int>(length), static_cast<int>(i & 1), out.data(), size);
        ASSERT_EQ(std::memcmp(out.data() + size, kCanary, sizeof(kCanary)), 0) << i;
        ASSERT_NE(std::memchr(out.data(), '\0', size), nullptr) << i;
    }
}

TEST(Q931Trace, LargestFrameIntoTheTraceBuffer)
{
    vbtest::Octets frame(65536, 0x7e);
    frame[0] = 0x00;
    frame[1] = 0x01;
    frame[2] = 0x00;
    frame[4] = 0x08;
    frame[5] = 0x00;
    static char guarded[ISDN::kLogbufSize + 8];
    std::memcpy(guarded + ISDN::kLogbufSize, "CANARY!", 8);
    ISDN::dlogframe(frame.data(), static_cast<int>(frame.size()), 0, guarded, ISDN::kLogbufSize);
    EXPECT_EQ(std::strlen(guarded), ISDN::kLogbufSize - 1);
    EXPECT_STREQ(guarded + ISDN::kLogbufSize, "CANARY!");
    ISDN::dlogframe(frame.data(), static_cast<int>(frame.size()), 0, ISDN::logbuf, sizeof(ISDN::logbuf));
    EXPECT_EQ(std::strlen(ISDN::logbuf), ISDN::kLogbufSize - 1);
}

} // namespace
