// LEMZ radio controls and slots on the simulated board: an RTP session of
// the simulated engine to attach to, a control with a recording notify
// target, LEMZ packets queued as if they had arrived, and the packets the
// control wrote, decoded.
#pragma once

#include <arpa/inet.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media/rtp_session.h"
#include "radio/ed137_radio_control.h"
#include "radio/lemz_radio_control.h"
#include "radio/lemz_radio_slots.h"
#include "simboard/rtp_ext.h"
#include "tests/media/rtp_support.h"

namespace vbradio {

inline uint32_t ip(const char* dotted)
{
    return inet_addr(dotted);
}

// The notify target of a control under test.
struct Reports : RTPSignalling::IRadioControlNotify {
    std::vector<TERM::RtpRadioRequest> requests;
    std::vector<int> aborts;
    void RadioControlNotify(TERM::RtpRadioRequest const& r) override { requests.push_back(r); }
    void RadioControlNotify(int cause) override { aborts.push_back(cause); }
    std::vector<std::string> senders() const
    {
        std::vector<std::string> out;
        for (auto const& r : requests)
            out.push_back(r.get_request().get_lemz().get_addr().get_session_addr());
        return out;
    }
};

// A control's protected entry points, for driving one wake-up by hand.
template <class Control>
struct Exposed : Control {
    using Control::Control;
    using Control::OnRtpExtEvent;
    using Control::ProcessRadioStatus;
    void wake() { OnRtpExtEvent(this->ext_fd(), POLLIN); }
};
using GW = Exposed<RTPSignalling::LemzRadioGWControl>;
using WS = Exposed<RTPSignalling::LemzRadioWSControl>;
using ED137 = Exposed<RTPSignalling::ED137RadioGWControl>;

inline sig_proto packet(uint32_t type, int priority = 15, int ptt = 0)
{
    sig_proto p;
    sig_proto_init(&p);
    p.type = type;
    sig_proto_set_base(&p, priority, 0, ptt, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    return p;
}

inline std::string packed(sig_proto p)
{
    unsigned char buf[1024];
    int n = sig_proto_pack(&p, buf, sizeof buf);
    return n > 0 ? std::string(reinterpret_cast<char*>(buf), size_t(n)) : std::string();
}

struct RadioWorld : vbtest::RtpWorld {
    Reports reports;
    rtp_ext_init_params init = lemz_init();
    uint16_t port = vbtest::free_rtp_port();

    static rtp_ext_init_params lemz_init()
    {
        rtp_ext_init_params i = {};
        i.etype = Device::RtpExt::kLemzProfile;
        return i;
    }
    SimBoard::RtpExtDevice& ext() { return *sim.board.find<SimBoard::RtpExtDevice>(Device::RtpExt::kDevice); }
    size_t requests(const char* device, unsigned long number) { return sim.board.ioctls(device, number).size(); }
    size_t requests(unsigned long number) { return requests(Device::RtpExt::kDevice, number); }
    // Slot 1 made and destroyed 200 times, tick_ms of time each: no
    // descriptor and no extension session stays.
    void churn(const std::function<LGCP::Command()>& create, unsigned tick_ms = 0)
    {
        command(create(), 1);
        command(vbtest::simple(LGCP::Command::e_destroy), 1);
        int before = fds();
        for (int i = 0; i < 200; ++i) {
            ASSERT_THAT(command(create(), 1), testing::Contains("slot=1 success")) << i;
            advance(tick_ms);
            command(vbtest::simple(LGCP::Command::e_destroy), 1);
        }
        EXPECT_EQ(fds(), before);
        EXPECT_TRUE(ext().sessions().empty());
    }
    // The newest extension session.
    SimBoard::RtpExtDevice::Session& session() { return *ext().sessions().back(); }

    // A begun "/dev/rtp" session towards 127.0.0.1:port.
    Fd rtp_session()
    {
        RtpSession s;
        LGCP::Command c = vbtest::create_rtp(port);
        const LGCP::CreateRtpParams& r = c.get_create().get_rtp();
        s.fill("", r.get_codecRTP(), r.get_rxPayload(), r.get_txPayload());
        Fd rtp;
        int channel = -1;
        BeginRtpSession("", s.params, -1, rtp, channel);
        return rtp;
    }
    template <class Control = GW>
    std::unique_ptr<Control> control(const Fd& rtp)
    {
        auto c = std::make_unique<Control>(7, rtp_ext_attach_session_params{rtp.get(), ::getpid()}, init);
        c->SetNotify(&reports);
        return c;
    }
    void queue(sig_proto const& p, const char* sender, uint32_t ssrc = 0x1234)
    {
        queue(packed(p), sender, ssrc);
    }
    void queue(const std::string& payload, const char* sender, uint32_t ssrc = 0x1234)
    {
        ext().queue(session(), ssrc, ip(sender), payload);
    }
    // The types of the packets written since the last look.
    std::vector<uint32_t> written_types()
    {
        std::vector<uint32_t> out;
        for (std::string& w : session().written) {
            sig_proto p;
            sig_proto_init(&p);
            out.push_back(sig_proto_unpack(&p, reinterpret_cast<unsigned char*>(&w[0]), int(w.size())) == 0 ? p.type : 0);
        }
        session().written.clear();
        return out;
    }
};

// A LEMZ status from the controller; standby set or not.
inline TERM::RadioStatus lemz_status(bool standby)
{
    TERM::RadioStatus st;
    TERM::LemzRadioStatus& v = st.get_lemz();
    v.get_flags().set_prio(5);
    v.get_freq().set_frequency("0.0");
    auto state = standby ? TERM::RadioStandby::active : TERM::RadioStandby::not_use;
    v.set_standby_state_channel(state);
    v.set_standby_state_receiver(state);
    return st;
}

// A wm-trans modifier: the radio is held by the session at ip.
inline TERM::RadioModifier wm_trans(bool ptt, const char* holder, int priority = 5)
{
    TERM::RadioModifier m;
    TERM::LemzRadioModifier& l = m.get_lemz();
    l.get_addr().set_session_addr(holder);
    l.get_addr().set_session_ssrc(1);
    TERM::RadioCommandWMTrans& t = l.get_params().get_wm_trans();
    t.get_flags().set_ptt(ptt);
    t.get_flags().set_prio(priority);
    t.set_ip(holder);
    t.set_ssrc(1);
    return m;
}

} // namespace vbradio
