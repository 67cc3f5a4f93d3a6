// The decoder's tables, row by row.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "signalling/q931_trace.h"

namespace {

using namespace ISDN::Trace;

struct Row {
    int code;
    const char* text;
    const char* printer;
};

const Row kMessageTypes[] = {
    {0x01, "ALERTING", nullptr},
    {0x02, "CALL PROCEEDING", nullptr},
    {0x03, "PROGRESS", nullptr},
    {0x05, "SETUP", nullptr},
    {0x07, "CONNECT", nullptr},
    {0x0D, "SETUP ACKNOWLEDGE", nullptr},
    {0x0F, "CONNECT ACKNOWLEDGE", nullptr},
    {0x20, "USER INFORMATION", nullptr},
    {0x21, "SUSPEND REJECT", nullptr},
    {0x22, "RESUME REJECT", nullptr},
    {0x24, "HOLD", nullptr},
    {0x25, "SUSPEND", nullptr},
    {0x26, "RESUME", nullptr},
    {0x28, "HOLD ACKNOWLEDGE", nullptr},
    {0x2D, "SUSPEND ACKNOWLEDGE", nullptr},
    {0x2E, "RESUME ACKNOWLEDGE", nullptr},
    {0x30, "HOLD REJECT", nullptr},
    {0x31, "RETRIEVE", nullptr},
    {0x33, "RETRIEVE ACKNOWLEDGE", nullptr},
    {0x37, "RETRIEVE REJECT", nullptr},
    {0x45, "DISCONNECT", nullptr},
    {0x46, "RESTART", nullptr},
    {0x4D, "RELEASE", nullptr},
    {0x4E, "RESTART ACKNOWLEDGE", nullptr},
    {0x5A, "RELEASE COMPLETE", nullptr},
    {0x60, "SEGMENT", nullptr},
    {0x62, "FACILITY", nullptr},
    {0x6E, "NOTIFY", nullptr},
    {0x75, "STATUS ENQUIRY", nullptr},
    {0x79, "CONGESTION CONTROL", nullptr},
    {0x7B, "INFORMATION", nullptr},
    {0x7D, "STATUS", nullptr},
};
const Row kElements[] = {
    {0x00, "Segmented message", "general"},
    {0x04, "Bearer capability", "prbearer"},
    {0x08, "Cause", "prcause"},
    {0x10, "Call identity", "general"},
    {0x14, "Call state", "general"},
    {0x18, "Channel identification", "prchident"},
    {0x1C, "Facility", "prfacility"},
    {0x1E, "Progress indicator", "general"},
    {0x20, "Network-specific facilities", "general"},
    {0x27, "Notification indicator", "general"},
    {0x28, "Display", "display"},
    {0x29, "Date/Time", "general"},
    {0x2C, "Keypad facility", "general"},
    {0x34, "Signal", "general"},
    {0x40, "Information rate", "general"},
    {0x42, "End-to-end delay", "general"},
    {0x43, "Transit delay selection and indication", "general"},
    {0x44, "Packet layer binary parameters", "general"},
    {0x45, "Packet layer window size", "general"},
    {0x46, "Packet size", "general"},
    {0x47, "Closed user group", "general"},
    {0x4A, "Reverse charge indication", "general"},
    {0x6C, "Calling party number", "prcalling"},
    {0x6D, "Calling party subaddress", "general"},
    {0x70, "Called party number", "prcalled"},
    {0x71, "Called party subaddress", "general"},
    {0x74, "Redirecting number", "general"},
    {0x78, "Transit network selection", "general"},
    {0x79, "Restart indicator", "general"},
    {0x7C, "Low layer compatibility", "general"},
    {0x7D, "High layer compatibility", "general"},
    {0x7E, "User-user", "general"},
    {0x7F, "Escape for extension", "general"},
};
const Row kCauses[] = {
    {0x01, "Unallocated (unassigned) number", nullptr},
    {0x02, "No route to specified transit network", nullptr},
    {0x03, "No route to destination", nullptr},
    {0x04, "Send special information tone", nullptr},
    {0x05, "Misdialled trunk prefix", nullptr},
    {0x06, "Channel unacceptable", nullptr},
    {0x07, "Channel awarded and being delivered in an established channel", nullptr},
    {0x08, "Preemption", nullptr},
    {0x09, "Preemption - circuit reserved for reuse", nullptr},
    {0x10, "Normal call clearing", nullptr},
    {0x11, "User busy", nullptr},
    {0x12, "No user responding", nullptr},
    {0x13, "No answer from user (user alerted)", nullptr},
    {0x14, "Subscriber absent", nullptr},
    {0x15, "Call rejected", nullptr},
    {0x16, "Number changed", nullptr},
    {0x1A, "non-selected user clearing", nullptr},
    {0x1B, "Destination out of order", nullptr},
    {0x1C, "Invalid number format (address incomplete)", nullptr},
    {0x1D, "Facility rejected", nullptr},
    {0x1E, "Response to Status enquiry", nullptr},
    {0x1F, "Normal, unspecified", nullptr},
    {0x22, "No circuit/channel available", nullptr},
    {0x26, "Network out of order", nullptr},
    {0x27, "Permanent frame mode connection out-of-service", nullptr},
    {0x28, "Permanent frame mode connection operational", nullptr},
    {0x29, "Temporary failure", nullptr},
    {0x2A, "Switching equipment congestion", nullptr},
    {0x2B, "Access information discarded", nullptr},
    {0x2C, "Requested circuit/channel not available", nullptr},
    {0x2E, "Precedence call blocked", nullptr},
    {0x2F, "Resource unavailable, unspecified", nullptr},
    {0x31, "Quality of service unavailable", nullptr},
    {0x32, "Requested facility not subscribed", nullptr},
    {0x35, "Outgoing calls barred within CUG", nullptr},
    {0x37, "Incoming calls barred within CUG", nullptr},
    {0x39, "Bearer capability not authorized", nullptr},
    {0x3A, "Bearer capability not presently available", nullptr},
    {0x3E, "Inconsistency in designated outgoing access information and subscriber class ", nullptr},
    {0x3F, "Service or option not available, unspecified", nullptr},
    {0x41, "Bearer capability not implemented", nullptr},
    {0x42, "Channel type not implemented", nullptr},
    {0x43, "Requested facility not implemented", nullptr},
    {0x44, "Only restricted digital information bearer capability is available", nullptr},
    {0x4F, "Service or option not implemented", nullptr},
    {0x51, "Invalid call reference value", nullptr},
    {0x52, "Identified channel does not exist", nullptr},
    {0x53, "A suspended call exists, but this call identity does not", nullptr},
    {0x54, "Call identity in use", nullptr},
    {0x55, "No call suspended", nullptr},
    {0x56, "Call having the requested call identity has been cleared", nullptr},
    {0x57, "User not member of CUG", nullptr},
    {0x58, "Incompatible destination", nullptr},
    {0x5A, "Non-existent CUG", nullptr},
    {0x5B, "Invalid transit network selection", nullptr},
    {0x5F, "Invalid message, unspecified", nullptr},
    {0x60, "Mandatory information element is missing", nullptr},
    {0x61, "Message type non-existent or not implemented", nullptr},
    {0x62, "Message not compatible with call state or message type non-existent or not implemented ", nullptr},
    {0x63, "Information element/parameter non-existent or not implemented", nullptr},
    {0x64, "Invalid information element contents", nullptr},
    {0x65, "Message not compatible with call state", nullptr},
    {0x66, "Recovery on timer expiry", nullptr},
    {0x67, "Parameter non-existent or not implemented - passed on", nullptr},
    {0x6E, "Message with unrecognized parameter discarded", nullptr},
    {0x6F, "Protocol error, unspecified", nullptr},
    {0x7F, "Interworking, unspecified", nullptr},
};

// The printer of each element, by the text its contents give.
std::string printer_of(Printer p)
{
    const std::pair<Printer, const char*> names[] = {
        {general, "general"},     {prbearer, "prbearer"}, {prcause, "prcause"},     {prchident, "prchident"},
        {prcalled, "prcalled"},   {prcalling, "prcalling"}, {display, "display"}, {prfacility, "prfacility"}};
    for (auto& n : names)
        if (n.first == p)
            return n.second;
    return "?";
}

TEST(Q931Tables, MessageTypesElementsAndCausesAsListed)
{
    ASSERT_EQ(std::size(mtlist), std::size(kMessageTypes));
    for (const Row& r : kMessageTypes) {
        const MessageType* m = message_type(static_cast<uint8_t>(r.code));
        ASSERT_NE(m, nullptr) << r.text;
        EXPECT_STREQ(m->name, r.text);
    }
    ASSERT_EQ(std::size(ielist), std::size(kElements));
    for (const Row& r : kElements) {
        const ElementType* e = element_type(static_cast<uint8_t>(r.code));
        ASSERT_NE(e, nullptr) << r.text;
        EXPECT_STREQ(e->name, r.text);
        EXPECT_EQ(printer_of(e->printer), r.printer) << r.text;
    }
    ASSERT_EQ(std::size(cvlist), std::size(kCauses));
    for (const Row& r : kCauses) {
        const CauseText* c = cause_text(static_cast<uint8_t>(r.code));
        ASSERT_NE(c, nullptr) << r.text;
        EXPECT_STREQ(c->text, r.text);
    }
    std::set<int> codes;
    for (const MessageType& m : mtlist)
        codes.insert(m.code);
    EXPECT_EQ(codes.size(), std::size(mtlist)) << "no code twice";
    EXPECT_EQ(message_type(0x00), nullptr);
    EXPECT_EQ(element_type(0x01), nullptr);
    EXPECT_EQ(cause_text(0x00), nullptr);
}

} // namespace
