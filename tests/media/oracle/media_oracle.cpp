// Our packets and tones checked by independent tools, each run as its own
// process: tshark dissects the RTCP packets (captures made by text2pcap),
// multimon-ng decodes the DTMF digits the generator played.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <sstream>

#include "media/rtcp.h"
#include "tests/media/media_support.h"
#include "tests/support/oracle_tools.h"

using namespace vbtest;
using Item = RTPC::SDES::Item;
using testing::ElementsAre;

namespace {

const int kPort = 5005;

std::string encode(const RTPC::Msg& m)
{
    char buf[1024];
    return std::string(buf, m.encode(buf, sizeof(buf)));
}

TEST(MediaOracle, TsharkReadsOurRtcpPackets)
{
    require("text2pcap");
    require("tshark");
    TempDir dir;
    RTPC::SDES three(0x01020304), longText(0xCAFEF00D), none(0x0A0B0C0D);
    three.add(Item::CNAME, "Tolvane Veridane");
    three.add(Item::EMAIL, "noc@voxbridge.example");
    three.add(Item::PHONE, "+1 555 0100");
    longText.add(Item::CNAME, std::string(300, 'c'));
    RTPC::BYE bye(0x01020304, "session end");
    std::ofstream(dir.file("rtcp.txt")) << hexdump({encode(three), encode(longText), encode(none), encode(bye)});
    std::string pcap = dir.file("rtcp.pcap");
    run("text2pcap -q -u " + std::to_string(kPort) + "," + std::to_string(kPort) + " " + dir.file("rtcp.txt") + " " + pcap);
    std::string decode = "tshark -r " + pcap + " -d udp.port==" + std::to_string(kPort) + ",rtcp";

    std::string fields = run(decode + " -T fields -e rtcp.pt -e rtcp.ssrc.identifier -e rtcp.sdes.type"
                                      " -e rtcp.sdes.text -e rtcp.length_check");
    EXPECT_THAT(lines(fields),
                ElementsAre("202\t0x01020304\t1,3,4,0\tTolvane Veridane,noc@voxbridge.example,+1 555 0100\t1",
                            "202\t0xcafef00d\t1,0\t" + std::string(255, 'c') + "\t1",
                            "202\t0x0a0b0c0d\t0\t\t1", "203\t0x01020304\t\tsession end\t1"));
    // The expert summary lists no warning, error or malformed packet.
    std::string expert = run(decode + " -q -z expert");
    EXPECT_EQ(expert.find("Warn"), std::string::npos) << expert;
    EXPECT_EQ(expert.find("Error"), std::string::npos) << expert;
    EXPECT_EQ(expert.find("Malformed"), std::string::npos) << expert;
}

// The generator's history as sound: each record holds until the next, both
// tones at half their amplitude so that their sum never overflows.
std::vector<int16_t> render(const std::vector<SimBoard::DtmfDevice::Dial>& dials, unsigned tail_ms)
{
    const double rate = 22050, pi = std::acos(-1.0);
    std::vector<int16_t> out;
    double phase1 = 0, phase2 = 0;
    for (size_t i = 0; i < dials.size(); ++i) {
        const auto& d = dials[i];
        uint32_t ms = i + 1 < dials.size() ? dials[i + 1].ms - d.ms : tail_ms;
        size_t samples = static_cast<size_t>(ms * rate / 1000);
        for (size_t n = 0; n < samples; ++n) {
            double v = (d.amp1 * std::sin(phase1) + d.amp2 * std::sin(phase2)) / 2;
            out.push_back(static_cast<int16_t>(std::lround(v)));
            phase1 = std::fmod(phase1 + 2 * pi * d.freq1 / rate, 2 * pi);
            phase2 = std::fmod(phase2 + 2 * pi * d.freq2 / rate, 2 * pi);
        }
    }
    return out;
}

struct DtmfOracle : ::testing::Test, MediaWorld {
};

TEST_F(DtmfOracle, MultimonDecodesTheDigitsWePlay)
{
    require("multimon-ng");
    MediaSlot& s = make(1, 200);
    LGCP::TranslateDtmfParams p;
    for (char key : std::string("1120")) {
        size_t k = std::string(Dtmf::strRep).find(key);
        LGCP::DualTone t;
        t.set_freq1(Dtmf::freq1[k]);
        t.set_freq2(Dtmf::freq2[k]);
        p.get_digits().push_back(t);
    }
    s.translateDTMF(p);
    for (int i = 0; i < 10; ++i)
        advance(70);
    ASSERT_EQ(dtmf().dials().size(), 9u);
    std::vector<int16_t> pcm = render(dtmf().dials(), 300);
    TempDir dir;
    std::ofstream(dir.file("dtmf.raw"), std::ios::binary)
        .write(reinterpret_cast<const char*>(pcm.data()), std::streamsize(pcm.size() * sizeof(int16_t)));
    std::string decoded = run("multimon-ng -q -a DTMF -t raw " + dir.file("dtmf.raw"));
    EXPECT_THAT(lines(decoded), ElementsAre("DTMF: 1", "DTMF: 1", "DTMF: 2", "DTMF: 0"));
}

} // namespace
