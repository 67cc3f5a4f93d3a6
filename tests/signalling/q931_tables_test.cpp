// The decoder's tables: every row is found by its own code, codes not in a
// table find nothing, and a few rows checked against Q.931 and Q.850.
#include <gtest/gtest.h>

#include <set>
#include <utility>
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

// Rows read from Q.931 tables 4-2 and 4-3 and Q.850, not from the tables
// under test: a wrong name, text, code or printer shows here.
TEST(Q931Tables, LiteralRowsGiveTheirNamesTextsAndPrinters)
{
    const std::pair<int, const char*> messages[] = {
        {0x01, "ALERTING"}, {0x05, "SETUP"}, {0x0F, "CONNECT ACKNOWLEDGE"}, {0x45, "DISCONNECT"},
        {0x5A, "RELEASE COMPLETE"}, {0x75, "STATUS ENQUIRY"}, {0x7D, "STATUS"},
    };
    for (auto& [code, name] : messages) {
        const MessageType* m = message_type(static_cast<uint8_t>(code));
        ASSERT_NE(m, nullptr) << code;
        EXPECT_STREQ(m->name, name);
    }
    const struct {
        int id;
        const char* name;
        Printer printer;
    } elements[] = {
        {0x04, "Bearer capability", prbearer},      {0x08, "Cause", prcause},
        {0x18, "Channel identification", prchident}, {0x1C, "Facility", prfacility},
        {0x28, "Display", display},                  {0x6C, "Calling party number", prcalling},
        {0x70, "Called party number", prcalled},     {0x7E, "User-user", general},
    };
    for (auto& e : elements) {
        const ElementType* t = element_type(static_cast<uint8_t>(e.id));
        ASSERT_NE(t, nullptr) << e.id;
        EXPECT_STREQ(t->name, e.name);
        EXPECT_EQ(t->printer, e.printer) << e.name;
    }
    const std::pair<int, const char*> causes[] = {
        {0x01, "Unallocated (unassigned) number"},
        {0x10, "Normal call clearing"},
        {0x11, "User busy"},
        {0x1F, "Normal, unspecified"},
        {0x3E, "Inconsistency in designated outgoing access information and subscriber class "},
        {0x51, "Invalid call reference value"},
        {0x66, "Recovery on timer expiry"},
        {0x7F, "Interworking, unspecified"},
    };
    for (auto& [value, text] : causes) {
        const CauseText* c = cause_text(static_cast<uint8_t>(value));
        ASSERT_NE(c, nullptr) << value;
        EXPECT_STREQ(c->text, text);
    }
}

} // namespace
