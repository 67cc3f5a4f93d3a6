// The HDLC packet slot through the slot table: addressed frames with
// their counters out, batches of received packages back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "signalling/slot_reports.h"
#include "tests/server/control/channel_support.h"
#include "tests/signalling/signalling_slot_support.h"

using namespace vbtest;
using testing::ElementsAre;

namespace {

struct HdlcSlotTest : ::testing::Test, SignallingWorld {
    HdlcSlotTest()
    {
        command(hdlc_params(1, 0x1234), 1);
        command(trunk_slot(0, 16), 2);
        command(connect(1), 2);
        wait();
    }
    HdlcSlot& slot() { return at<HdlcSlot>(1); }
    // The control octets of the frames sent since the last call.
    std::vector<int> controls()
    {
        std::vector<int> out;
        for (std::string f = line(16).take(); !f.empty(); f = line(16).take())
            out.push_back(uint8_t(f.at(2)));
        return out;
    }
    int channel() { return sim.hal().output(16).source; }
};

TEST_F(HdlcSlotTest, FramesCarryBothCounters)
{
    command(packages({"AA"}), 1);
    EXPECT_THAT(from(16), ElementsAre("12 34 00 AA"));
    command(packages({"01", "02", "03", "04", "05", "06", "07", "08"}), 1);
    EXPECT_THAT(controls(), ElementsAre(0x20, 0x40, 0x60, 0x80, 0xA0, 0xC0, 0xE0, 0x00));
    to(16, "12 34 A0 00");
    wait();
    command(packages({""}), 1);
    EXPECT_THAT(from(16), ElementsAre("12 34 25"));

}

// A command that cannot be carried out whole is refused whole: the queue
// and the counters stay as they were, so it may be sent again as it is.
TEST_F(HdlcSlotTest, RefusedPackagesLeaveTheQueueAndTheCounters)
{
    command(packages({"01", "02"}), 1);
    from(16);
    {
        // Buffers for two of three packages (the refusal finds none either).
        PoolDrain drain;
        drain.give_back(2);
        err.clear();
        command(packages({"03", "04", "05"}), 1);
        EXPECT_THAT(err.str(), testing::HasSubstr("no packet buffer, refused\n"));
        EXPECT_EQ(slot().queued(), 0u);
    }
    EXPECT_TRUE(from(16).empty());

    // The channel takes nothing: 120 wait, and one more finds no room.
    sim.mcc().set_room(channel(), 0);
    EXPECT_THAT(command(packages(std::vector<std::string>(119, "00")), 1), ElementsAre("slot=1 success"));
    EXPECT_THAT(command(packages({"00", "00"}), 1), ElementsAre("slot=1 error insufficientResources"));
    EXPECT_THAT(command(packages({"00"}), 1), ElementsAre("slot=1 success"));
    EXPECT_THAT(command(packages({"00"}), 1), ElementsAre("slot=1 error insufficientResources"));
    EXPECT_EQ(slot().queued(), 120u);
    sim.mcc().set_room(channel(), SimBoard::MccController::kUnlimited);
    wait();
    EXPECT_EQ(controls().size(), 120u);
    command(packages({"06"}), 1);
    EXPECT_THAT(controls(), ElementsAre((2 + 120) * 32 & 0xE0)) << "no counter spent on what was refused";
}

// The fifth octet's bit 7 announces more; a frame too short to have one
// ends the batch; frames without a control octet are no package.
TEST_F(HdlcSlotTest, ReceivedPackagesComeInBatches)
{
    struct Step {
        const char* frame; // "" lets 40 ms pass
        std::vector<std::string> sent;
    } steps[] = {
        {"12 34 A0 00 80", {}},
        {"", {}},
        {"43 21 00 00 80 01", {}}, // another address: no restart, not collected
        {"", {}},
        {"", {"slot=1 ioctl hdlcPackages : { { body '00 80'H }}"}},
        {"12 34 20 00 00", {"slot=1 ioctl hdlcPackages : { { body '00 00'H }}"}},
        {"12 34 40 00 80", {}},
        {"12 34 60 00 00", {"slot=1 ioctl hdlcPackages : { { body '00 80'H }, { body '00 00'H }}"}},
        {"43 21 00 00 00", {}}, // ends an empty batch
        {"12 34 80 05", {"slot=1 ioctl hdlcPackages : { { body '05'H }}"}},
        {"12 34 A0 00 80", {}},
        {"12 34", {"slot=1 ioctl hdlcPackages : { { body '00 80'H }}"}},
        {"", {}},
    };
    int n = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(n++);
        if (*s.frame)
            to(16, s.frame);
        EXPECT_EQ(only(wait(*s.frame ? 1 : 40), "slot=1 ioctl hdlcPackages"), s.sent);
    }
    command(packages({""}), 1);
    EXPECT_THAT(controls(), ElementsAre(0x05)) << "the last counter heard";
}

// A received body of `size` octets for the slot's address that carries
// its index; its second octet (the frame's fifth) announces more or not.
std::string indexed_frame(unsigned index, size_t size, bool more)
{
    std::string body{char(index >> 8), char(more ? 0x80 : 0), char(index & 0xFF)};
    body.resize(size, 'x');
    return "\x12\x34" + std::string(1, '\0') + body;
}

// Each hdlcPackages signal in the bytes from the server: its encoded size
// and the indexes of its bodies, which must all be `size` octets long
// (kAnySize: of any length).
constexpr size_t kAnySize = 0;
struct Batch {
    size_t octets;
    std::vector<unsigned> indexes;
};
std::vector<Batch> batches_in(const std::string& bytes, size_t size)
{
    std::vector<Batch> out;
    for (size_t at = 0, len; at + 4 <= bytes.size(); at += len) {
        len = std::max<size_t>(4, uint8_t(bytes[at + 2]) << 8 | uint8_t(bytes[at + 3]));
        LGCP::Message m;
        if (at + len > bytes.size()) {
            ADD_FAILURE() << "a frame cut short";
            break;
        }
        EXPECT_TRUE(ASN1::CoderEnv().decode(&bytes[at + 4], &bytes[at] + len, m, true));
        if (!m.get_pdu().is_signal() || !m.get_pdu().get_signal().is_ioctl() ||
            !m.get_pdu().get_signal().get_ioctl().is_hdlcPackages())
            continue;
        Batch b{len - 4, {}};
        for (const LGCP::HdlcPackage& p : m.get_pdu().get_signal().get_ioctl().get_hdlcPackages()) {
            const ASN1::OCTET_STRING& body = p.get_body();
            if (size != kAnySize) {
                EXPECT_EQ(body.size(), size);
            }
            b.indexes.push_back(body.size() < 3 ? ~0u : unsigned(uint8_t(body[0]) << 8 | uint8_t(body[2])));
        }
        out.push_back(b);
    }
    return out;
}

// A batch goes when it holds 128 packages, the most a signal encodes, or
// when the next package would take its signal past one control frame;
// every package reaches the controller, in order.
TEST_F(HdlcSlotTest, LongBatchesGoWhereTheirSignalEnds)
{
    struct Case {
        unsigned frames;
        size_t body;
        std::vector<unsigned> batches;
    } cases[] = {
        {128, 3, {128}},
        {129, 3, {128, 1}},
        {300, 3, {128, 128, 44}},
        {300, 1000, {65, 65, 65, 65, 40}}, // 1002 octets a package
        {9, 16000, {4, 4, 1}}, // 16002 octets a package
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.frames) + " of " + std::to_string(c.body));
        std::string bytes;
        for (unsigned i = 0; i < c.frames; ++i) {
            Packet p = make_packet(indexed_frame(i, c.body, i + 1 < c.frames));
            slot().on_hdlc_receive(p);
            bytes += drain(link->pair.b);
        }
        std::vector<Batch> got = batches_in(bytes, c.body);
        std::vector<unsigned> sizes, all;
        for (const Batch& b : got) {
            sizes.push_back(unsigned(b.indexes.size()));
            all.insert(all.end(), b.indexes.begin(), b.indexes.end());
            EXPECT_LE(b.octets, Signalling::kMaxSignal);
        }
        EXPECT_EQ(sizes, c.batches);
        ASSERT_EQ(all.size(), c.frames);
        for (unsigned i = 0; i < c.frames; ++i)
            EXPECT_EQ(all[i], i);
        EXPECT_TRUE(wait(200).empty()) << "nothing left behind";
    }
    EXPECT_EQ(err.str(), "");

    // A body too long for the codec to encode is the only one lost.
    for (size_t body : {size_t(16384), size_t(16383)}) {
        Packet p = make_packet(indexed_frame(7, body, false));
        slot().on_hdlc_receive(p);
    }
    EXPECT_EQ(batches_in(drain(link->pair.b), 16383).size(), 1u);
    EXPECT_EQ(err.str(), "HdlcSlot[0/*]: received package of 16384 octets fits no signal, dropped\n");
}

// 128 packages whose signal fills one control frame exactly go as one;
// one octet more and the last waits for the next signal. Half the bodies
// are short and half long, so that one octet too few in the estimate of
// either kind of package, or of the message around them, takes a signal
// past the frame, where it would be lost whole.
TEST_F(HdlcSlotTest, BatchOnTheFrameLimitGoesWholeAndOneOctetMoreSplits)
{
    for (size_t over : {0, 1}) {
        SCOPED_TRACE(over);
        std::vector<size_t> sizes(HdlcSlot::kBatch);
        for (size_t i = 0; i < sizes.size(); ++i)
            sizes[i] = i % 2 ? 900 : 100;
        // The signal as the controller decodes it; each octet more in a long
        // body is one more in the signal.
        auto encoded = [&] {
            LGCP::Message m;
            m.set_slot(1);
            auto& list = m.get_pdu().get_signal().get_ioctl().get_hdlcPackages();
            for (size_t size : sizes) {
                LGCP::HdlcPackage p;
                p.set_body(std::vector<char>(size));
                list.push_back(p);
            }
            return Signalling::encoded_size(m);
        };
        sizes.back() += Signalling::kMaxSignal + over - encoded();
        ASSERT_EQ(encoded(), Signalling::kMaxSignal + over);

        std::string bytes;
        for (unsigned i = 0; i < sizes.size(); ++i) {
            Packet p = make_packet(indexed_frame(i, sizes[i], i + 1 < sizes.size()));
            slot().on_hdlc_receive(p);
            bytes += drain(link->pair.b);
        }
        std::vector<Batch> got = batches_in(bytes, kAnySize);
        std::vector<unsigned> counts, all;
        for (const Batch& b : got) {
            counts.push_back(unsigned(b.indexes.size()));
            all.insert(all.end(), b.indexes.begin(), b.indexes.end());
        }
        EXPECT_EQ(counts, over ? std::vector<unsigned>({127, 1}) : std::vector<unsigned>({128}));
        if (!over && got.size() == 1) {
            EXPECT_EQ(got[0].octets, Signalling::kMaxSignal);
        }
        ASSERT_EQ(all.size(), sizes.size()) << "every package";
        for (unsigned i = 0; i < all.size(); ++i)
            EXPECT_EQ(all[i], i);
    }
    EXPECT_EQ(err.str(), "");
}

// Either connection alone serves both directions: the channel stays on
// the line while one of them does, and goes with the last.
TEST_F(HdlcSlotTest, TheChannelStaysWithTheConnectionThatStays)
{
    command(connect(2), 1);
    for (int going : {1, 2}) {
        SCOPED_TRACE(going);
        command(simple(C::e_disconnect), going);
        wait();
        if (going == 1) {
            ASSERT_EQ(sim.mcc().allocated(), 1u);
            EXPECT_EQ(out(channel()).source, 16);
            command(packages({"01"}), 1);
            EXPECT_THAT(from(16), ElementsAre("12 34 00 01"));
        }
    }
    EXPECT_EQ(sim.mcc().allocated(), 0u);
    EXPECT_NE(out(16).drive, SimBoard::Hal::Drive::connected);
}

TEST_F(HdlcSlotTest, PackagesQueuedWhileDisconnectedLeaveOnReturn)
{
    command(simple(C::e_disconnect), 1);
    EXPECT_THAT(command(packages({"01", "02"}), 1), ElementsAre("slot=1 success"));
    EXPECT_EQ(slot().queued(), 2u);
    command(connect(1), 2);
    wait();
    EXPECT_THAT(from(16), ElementsAre("12 34 00 01", "12 34 20 02"));
    EXPECT_THAT(names(command(simple(C::e_deactivate), 1)),
                ElementsAre("slot=1 ioctl hdlcLinkInfo", "slot=1 success"));
    EXPECT_THAT(command(simple(C::e_ioctl), 1), ElementsAre("slot=1 error unsupported"));
}

} // namespace
