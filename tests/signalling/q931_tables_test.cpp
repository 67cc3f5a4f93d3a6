// The decoder's tables: every row is found by its own code, codes not in a
// table find nothing, and a few rows spot-checked against Q.931.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "signalling/q931_trace.h"

namespace {

using namespace ISDN::Trace;

TEST(Q931Tables, EveryRowIsFoundByItsCodeAndNothingElse)
{
    std::set<int> codes;
    for (const MessageType& m : mtlist) {
        EXPECT_EQ(message_type(m.code), &m) << m.name;
        codes.insert(m.code);
    }
    EXPECT_EQ(codes.size(), std::size(mtlist)) << "no code twice";
    codes.clear();
    for (const ElementType& e : ielist) {
        EXPECT_EQ(element_type(e.id), &e) << e.name;
        codes.insert(e.id);
    }
    EXPECT_EQ(codes.size(), std::size(ielist));
    for (const CauseText& c : cvlist)
        EXPECT_EQ(cause_text(c.value), &c) << c.text;
    for (int code : {0x00, 0x04, 0x7E, 0xFF})
        EXPECT_EQ(message_type(static_cast<uint8_t>(code)), nullptr) << code;
    for (int code : {0x01, 0x7B, 0xFF})
        EXPECT_EQ(element_type(static_cast<uint8_t>(code)), nullptr) << code;
    for (int code : {0x00, 0x0A, 0x80})
        EXPECT_EQ(cause_text(static_cast<uint8_t>(code)), nullptr) << code;
}

} // namespace
